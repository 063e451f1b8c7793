/* Start of a console test program on arm64 (see crt_arm64.c). */
#include <stdlib.h>

int main(int argc, char** argv);
int __cdecl _configure_narrow_argv(int mode);

void mainCRTStartup(void) {
  _configure_narrow_argv(1 /* unexpanded */);
  exit(main(*__p___argc(), *__p___argv()));
}
