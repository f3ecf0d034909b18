// Environment variables set for one test's scope and removed at its end, so
// that a test pointing the loader at a fake sysfs or port folder leaves the
// next test the real ones.
#pragma once

#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

namespace zevuvuri::testing {

class ScopedEnv {
 public:
  explicit ScopedEnv(const std::map<std::string, std::string>& env) {
    for (const auto& [k, v] : env) {
      ::setenv(k.c_str(), v.c_str(), 1);
      names_.push_back(k);
    }
  }
  ~ScopedEnv() {
    for (const auto& k : names_) ::unsetenv(k.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::vector<std::string> names_;
};

}  // namespace zevuvuri::testing
