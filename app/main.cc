// quillory: the settings application (the settings window arrives with the settings model).
#include <cstdio>

int main() {
  std::printf("Quillory settings application\n");
  return 0;
}
