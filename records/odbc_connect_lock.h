// The driver manager's environment set-up and a connect (which loads the
// driver and reads its configuration into shared buffers) are not safe from
// two threads at once in unixODBC, and a station connects from two: the
// records' forwarder and the live state. Every connect of this process takes
// this lock, from the environment's allocation to the connect's end; the
// statements that follow run side by side.
#pragma once

#include <mutex>

namespace zevuvuri::records {

std::mutex& OdbcConnectLock();

}  // namespace zevuvuri::records
