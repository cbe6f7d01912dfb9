// quillory-ext: the mail extension's command line.
#include <cstdio>

int main() {
  std::printf("quillory-ext\n");
  return 0;
}
