// The module entry of KX_ICCReader.dll. Loading the library opens nothing and
// unloading it closes nothing: a reader link left open by the host stays as it
// is, so every notification is simply acknowledged.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
