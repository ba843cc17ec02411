#pragma once

// Bytes read in order, a block at a time, from the start again as often as
// wanted: a message too large to hold in memory whole, read from where it
// is kept.

#include <cstddef>

namespace quillpost::message {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to length bytes to out, going on where the last call ended;
  // fewer than length only at the end, 0 there. May throw what the place it
  // reads from throws.
  virtual std::size_t Read(char* out, std::size_t length) = 0;
  // Back to the start.
  virtual void Rewind() = 0;
};

}  // namespace quillpost::message
