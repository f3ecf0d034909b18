// unixODBC's headers. Its SQLWCHAR is a 16-bit unsigned short (UTF-16), as
// on Windows, as long as SQL_WCHART_CONVERT stays undefined.
#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>
