// tilesave: copies the JPEG data of each TIZ tile into tileNNNN.jpg here.
#include "tiz.h"

int main(int argc, char** argv) {
  RecordBuffer in;
  in.fd = open_input(argc, argv);
  return in.fd < 0 ? 1 : save_tiz(in);
}
