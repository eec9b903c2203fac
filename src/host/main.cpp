// Entry point of quillstone.exe. The modes (service, console, install,
// tray) arrive with the process host; until then the program exits at once.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
