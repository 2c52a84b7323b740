#pragma once

// Reading and writing a descriptor through partial transfers and
// interruptions, for every loop above: only a real failure (a full disk, a
// device that refuses, a read error) stops one short.

#include <cstddef>
#include <cstdint>

// Writes all `count` bytes, so that only a real failure leaves a file incomplete.
bool write_all(int fd, const void* bytes, std::size_t count);

// One read of up to `count` bytes, made again when a signal interrupts it:
// how many came (0 at the end of the input), or -1 with errno.
long long read_some(int fd, void* bytes, std::size_t count);

// How a read of many bytes knows the input has ended: a regular file where a
// read comes back short, which saves the read that would only say so; a
// pipe, a terminal or a device only where a read gives nothing.
enum class InputEnd { at_nothing, at_short_read };

// Reads until `count` bytes have come or the input ends: how many came, or -1
// with errno.
long long read_all(int fd, void* bytes, std::size_t count, InputEnd end = InputEnd::at_nothing);

// Reads `count` bytes from `offset` of `fd`, whatever its position: how many
// were read, fewer only where the file ends, or -1 with errno.
long long read_all_at(int fd, std::uint64_t offset, void* bytes, std::size_t count);

// Copies what `from` holds from its position on, to its end, into `to`:
// false with errno when a read or a write fails.
bool copy_all(int from, int to);
