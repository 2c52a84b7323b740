// tilesave: copies every MOZ tile's JPEG image into tileNNNN.jpg here.
#include "moz.h"

int main(int argc, char** argv) {
  RecordBuffer in;
  in.fd = open_input(argc, argv);
  if (in.fd < 0) {
    return 1;
  }
  return save_moz(in);
}
