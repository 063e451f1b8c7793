/* The recording stand-in under another entry name, for standin_hold.c. */
#define WinMain StandinWinMain
#include "standin_msiexec.c"
