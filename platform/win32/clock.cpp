#include "core/clock.h"

#include <windows.h>

namespace fernwise {

double SecondsSinceLocalMidnight() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond +
         now.wMilliseconds / 1000.0;
}

}  // namespace fernwise
