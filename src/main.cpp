#include <cstdio>
#include <string_view>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      std::fputs("0.5.0b4\n", stdout);
      return 0;
    }
  }
  std::fputs("error: not built yet\n", stderr);
  return 1;
}
