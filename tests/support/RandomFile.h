// A file of pseudo-random bytes for transfer tests and the transfer benchmark.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace vox::test {

// Writes size pseudo-random bytes (seeded) in blocks, without holding the file in memory.
inline void WriteRandomFile(const std::string& path, std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> block((std::size_t{1} << 20) / 8);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t done = 0; done < size; done += block.size() * 8) {
        for (auto& word : block) {
            word = random();
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(std::min(block.size() * 8, size - done)));
    }
}

}  // namespace vox::test
