#include "tools/line/line_server.h"

#include <httplib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "records/connection_text.h"
#include "tools/line/line_json.h"
#include "tools/line/page_files.h"

namespace zevuvuri::line {
namespace {

constexpr const char* kJson = "application/json; charset=utf-8";
// A serial as the records keep it: varchar(255).
constexpr std::size_t kMaxSerialCharacters = 255;

// Valid UTF-8 (no overlong forms, no surrogates), and its length in
// characters.
bool Utf8Length(const std::string& text, std::size_t* characters) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++n) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (c < 0x80) {
      extra = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  *characters = n;
  return true;
}

bool IsApi(const std::string& path) { return path.rfind("/api/", 0) == 0 || path == "/api"; }
bool IsKnownPath(const std::string& path) {
  return path == "/api/line" || path == "/api/serial" || FindPageFile(path) != nullptr;
}

void SetJson(httplib::Response& res, const ApiAnswer& answer) {
  res.status = answer.status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(answer.body, kJson);
}

const char* StatusText(int status) {
  switch (status) {
    case 400: return "bad request";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 413: return "request too large";
    case 414: return "request line too long";
    default: return status >= 500 ? "server error" : "request refused";
  }
}

}  // namespace

ApiAnswer AnswerLine(LineReader& reader) {
  LineState state;
  std::string error;
  if (!reader.ReadLine(&state, &error)) return {503, ErrorJson(records::MaskPasswords(error))};
  return {200, LineJson(state)};
}

ApiAnswer AnswerSerial(LineReader& reader, const std::optional<std::string>& number) {
  if (!number || number->empty()) return {400, ErrorJson("give the serial number: /api/serial?number=X")};
  std::size_t characters = 0;
  if (!Utf8Length(*number, &characters)) return {400, ErrorJson("the serial number is not UTF-8 text")};
  if (characters > kMaxSerialCharacters) {
    return {400, ErrorJson("a serial number has at most " + std::to_string(kMaxSerialCharacters) + " characters")};
  }
  std::vector<Attempt> attempts;
  std::string error;
  if (!reader.ReadSerial(*number, &attempts, &error)) return {503, ErrorJson(records::MaskPasswords(error))};
  return {200, SerialJson(*number, attempts)};
}

LineServer::LineServer(LineReader* reader, const ServerLimits& limits, bool access_log)
    : http_(std::make_unique<httplib::Server>()) {
  auto& s = *http_;
  const int workers = limits.workers;
  s.new_task_queue = [workers] { return new httplib::ThreadPool(static_cast<std::size_t>(workers)); };
  s.set_read_timeout(limits.read_timeout_s, 0);
  s.set_write_timeout(limits.write_timeout_s, 0);
  s.set_keep_alive_timeout(limits.keep_alive_timeout_s);
  s.set_keep_alive_max_count(static_cast<std::size_t>(limits.requests_per_connection));
  s.set_payload_max_length(limits.max_body);
  // The page loads only its own files and talks only to this server; no
  // other site may frame it or learn its address from a link.
  s.set_default_headers({{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "no-referrer"}});

  s.Get("/api/line", [reader](const httplib::Request&, httplib::Response& res) { SetJson(res, AnswerLine(*reader)); });
  s.Get("/api/serial", [reader](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> number;
    if (req.has_param("number")) number = req.get_param_value("number");
    SetJson(res, AnswerSerial(*reader, number));
  });
  // Browsers ask for an icon by themselves; the page has none.
  s.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  s.Get(".*", [](const httplib::Request& req, httplib::Response& res) {
    const PageFile* file = IsApi(req.path) ? nullptr : FindPageFile(req.path);
    if (file == nullptr) {
      res.status = 404;
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(std::string(file->body), std::string(file->content_type).c_str());
  });
  const httplib::Server::Handler wrong_method = [](const httplib::Request& req, httplib::Response& res) {
    res.status = IsKnownPath(req.path) ? 405 : 404;
    if (res.status == 405) res.set_header("Allow", "GET, HEAD");
  };
  s.Post(".*", wrong_method);
  s.Put(".*", wrong_method);
  s.Patch(".*", wrong_method);
  s.Delete(".*", wrong_method);
  s.Options(".*", wrong_method);

  // Every refusal says why, as JSON under /api/ and as text elsewhere; an
  // answer that has its own body keeps it.
  s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const std::string text = StatusText(res.status);
    if (IsApi(req.path)) {
      res.set_content(ErrorJson(text), kJson);
    } else {
      res.set_content(text + "\n", "text/plain; charset=utf-8");
    }
    return httplib::Server::HandlerResponse::Handled;
  }));
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content(ErrorJson("the server failed to answer"), kJson);
  });
  if (access_log) {
    // The path only: the query string may hold a serial, which is fine to
    // log, but nothing here ever holds the connection text.
    s.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::fprintf(stderr, "%s %s %s %d\n", req.remote_addr.c_str(), records::OneLine(req.method).c_str(),
                   records::OneLine(req.path).c_str(), res.status);
    });
  }
}

LineServer::~LineServer() = default;

bool LineServer::Bind(const std::string& host, int port, std::string* error) {
  errno = 0;
  // Port 0: any free one (tests), then Port() tells which.
  const int bound = port == 0 ? http_->bind_to_any_port(host) : (http_->bind_to_port(host, port) ? port : -1);
  if (bound < 0) {
    const int e = errno;
    *error = "cannot listen on " + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
             std::to_string(port) + (e != 0 ? std::string(": ") + std::strerror(e) : std::string());
    return false;
  }
  port_ = bound;
  return true;
}

bool LineServer::Serve() {
  const bool ok = stopping_.load() || http_->listen_after_bind() || stopping_.load();
  served_.store(true);
  return ok;
}

void LineServer::Stop() {
  stopping_.store(true);
  // The server's stop only stops one that runs: wait (briefly) for a Serve
  // that is about to begin.
  for (int i = 0; i < 100 && !http_->is_running() && !served_.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds{20});
  }
  http_->stop();
}

}  // namespace zevuvuri::line
