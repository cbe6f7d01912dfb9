// quillory: the settings application (the settings window arrives with the settings model).
#include <cstdio>

#include "platform/termination.h"

int main() {
  qy::platform::endChildrenOnTermination();
  std::printf("Quillory settings application\n");
  return 0;
}
