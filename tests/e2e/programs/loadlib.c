/* loadlib NAME...: loads each library by its bare name, with the default
   search order (the program's folder and the current folder included), and
   exits with the number that failed to load. The control case of the planting
   tests: it shows that a planted library is found and leaves its mark. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    if (LoadLibraryA(argv[i]) == NULL) {
      printf("%s\t%lu\n", argv[i], GetLastError());
      ++failed;
    }
  }
  return failed;
}
