#include "jpeg_reference.h"

// jpeglib.h wants size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <csetjmp>

namespace {

struct Trap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  bool warned;
};

extern "C" void trap_exit(j_common_ptr info) {
  std::longjmp(reinterpret_cast<Trap*>(info->err)->jump, 1);
}
extern "C" void trap_warning(j_common_ptr info, int level) {
  if (level < 0) {
    reinterpret_cast<Trap*>(info->err)->warned = true;
  }
}

bool read_with_libjpeg(jpeg_decompress_struct& info, Coefficients& out, const unsigned char* bytes,
                       std::size_t count, Trap& trap) {
  if (setjmp(trap.jump) != 0) {
    return false;
  }
  jpeg_mem_src(&info, bytes, static_cast<unsigned long>(count));
  jpeg_read_header(&info, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& component = info.comp_info[c];
    std::vector<jpeg::Block> blocks;
    for (JDIMENSION row = 0; row < component.height_in_blocks; ++row) {
      JBLOCKARRAY line = (*info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&info),
                                                         arrays[c], row, 1, FALSE);
      for (JDIMENSION column = 0; column < component.width_in_blocks; ++column) {
        jpeg::Block block;  // in zigzag order, as the reader keeps them
        for (std::size_t k = 0; k < jpeg::kBlockSize; ++k) {
          block[k] = line[0][column][jpeg::kNaturalOrder[k]];
        }
        blocks.push_back(block);
      }
    }
    out.components.push_back(std::move(blocks));
  }
  jpeg_finish_decompress(&info);
  return true;
}

}  // namespace

Coefficients libjpeg_coefficients(const unsigned char* bytes, std::size_t count) {
  Coefficients out;
  jpeg_decompress_struct info{};
  Trap trap{};
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = trap_exit;
  trap.manager.emit_message = trap_warning;
  jpeg_create_decompress(&info);
  out.read = read_with_libjpeg(info, out, bytes, count, trap);
  out.warned = trap.warned;
  jpeg_destroy_decompress(&info);
  return out;
}
