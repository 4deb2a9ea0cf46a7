/* A host built out of tree against an installed Pesmo6 (pkg-config or
 * find_package): reads one 7410 indicator on a serial device and prints it.
 *   pesmo6-consumer DEVICE */
#include <stdio.h>

#include "pesmo6.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
    return 2;
  }
  const char *produto, *versao, *r1, *r2, *nome;
  FirVer(&produto, &versao, &r1, &r2, &nome);
  printf("library %s %s\n", nome, versao);
  if (Seta_Porta(1, argv[1]) != 0) return 1;
  int32_t ch = W7410Serial(1);
  if (ch < 0) {
    fprintf(stderr, "registration failed: %s\n", Erro_Validacao());
    return 1;
  }
  int32_t r = Update_Canal(ch);
  printf("code %d net [%s] gross [%s] tare [%s] status %s\n", (int)r, Net_Canal(ch), Gross_Canal(ch),
         Tare_Canal(ch), Estado_Canal(ch));
  Close_Canal(ch);
  Deleta_Canal(ch);
  return r == PESMO6_LIDO ? 0 : 1;
}
