#include "records/odbc_connect_lock.h"

namespace zevuvuri::records {

std::mutex& OdbcConnectLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace zevuvuri::records
