// tilelist: checks a TIZ file and prints its header and a line per tile.
#include "tiz.h"

int main(int argc, char** argv) {
  RecordBuffer in;
  in.fd = open_input(argc, argv);
  if (in.fd < 0) {
    return 1;
  }
  return list_tiz(in);
}
