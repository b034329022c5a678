#include "guard.h"

int wmain(int argc, wchar_t** argv) {
  return RunSingleInstance(argc, argv);
}
