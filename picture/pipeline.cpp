#include "pipeline.h"

#include <algorithm>

int worker_count(std::size_t band_bytes, std::size_t budget) {
  const auto cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
  const auto fit =
      static_cast<int>(std::max<std::size_t>(1, budget / std::max<std::size_t>(1, band_bytes)));
  return std::clamp(std::min(cores, fit), 1, 8);
}
