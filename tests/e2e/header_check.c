/* The public header is plain C: this file is compiled as C and linked
 * against the shared library. */
#include <stdio.h>
#include <string.h>

#include "KX_ICCReader.h"

int main(void) {
  char message[545];
  unsigned char bytes[4];
  char text[16];
  if (KXGetLibVer() != 20121227) return 1;
  KXGetErrMessage(0, message);
  if (strlen(message) == 0) return 1;
  if (GetASC("01ab", bytes, 4) != 2 || bytes[1] != 0xAB) return 1;
  GetHex(1, bytes, text, 2);
  if (strcmp(text, "01AB") != 0) return 1;
  puts("header compiles as C and the library answers");
  return 0;
}
