// Inflating one deflate stream on several cores. A stream cannot be split where its bytes are:
// blocks start at arbitrary bits, and each may copy from the 32 KiB of output before it. So the
// input is cut at block headers found by search, each piece is inflated at once against a
// stand-in history (zeros), and then, in order, inflated again against the true history only
// until the two outputs have agreed for a whole history's length: from there on they cannot
// differ, so the rest of the stand-in output is kept. A piece is mended only where the exact
// inflater before it ended exactly at its first bit, between two blocks; any other piece is
// inflated by that inflater going on through it, so a false cut costs time, never bytes. Pieces
// are mended while the next batch inflates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "orivex/support/error.hpp"

struct inflate_state;

namespace orivex::io {

// Output of a piece: grown as it inflates, never zeroed.
class Bytes {
 public:
  unsigned char* data() { return data_.get(); }
  const unsigned char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  void reserve(std::size_t n);
  void resize(std::size_t n) {
    reserve(n);
    size_ = n;
  }

 private:
  std::unique_ptr<unsigned char[]> data_;
  std::size_t size_ = 0, capacity_ = 0;
};

constexpr std::size_t history_bytes = std::size_t{32} << 10;

// Appends n bytes of output to a history, which keeps the last history_bytes.
void extend_history(std::vector<unsigned char>& history, const unsigned char* out, std::size_t n);

// The bit (counted from data[0]) of the first header of a Huffman-coded block with its own code
// tables at or after from_bit and before to_bit, whose tables are complete codes as an inflater
// accepts them. Such headers are rare in random bits, and the inflation that follows is the test
// of the rest.
std::optional<std::uint64_t> find_block_header(const unsigned char* data, std::size_t bytes,
                                               std::uint64_t from_bit, std::uint64_t to_bit);

// The first block header at or after the file's byte `at`, within a search window, whose block
// starts to inflate against any history, as a file bit.
Result<std::optional<std::uint64_t>> find_cut(int fd, std::uint64_t at);

struct Inflater;

// Inflates the rest of one gzip member of an open file from a block boundary on, and checks the
// member's trailer. `crc` and `total` are those of the output before `start_bit` (the file's bit
// offset), whose last bytes are `history`. Reads go through pread, so the file offset is free.
class PieceInflater {
 public:
  struct Start {
    int fd = -1;
    std::uint64_t file_size = 0;
    std::uint64_t start_bit = 0;
    std::vector<unsigned char> history;
    std::uint32_t crc = 0;
    std::uint64_t total = 0;
    // Output bytes that may still be asked for; inflating more than this is refused.
    std::uint64_t limit = 0;
    std::size_t workers = 2;
  };
  explicit PieceInflater(Start s);
  ~PieceInflater();
  PieceInflater(const PieceInflater&) = delete;
  PieceInflater& operator=(const PieceInflater&) = delete;

  // Copies up to n bytes; fewer only where the member ends. Runs its rounds on the current pool.
  Result<std::size_t> read(unsigned char* out, std::size_t n);
  // Once the member has ended: the file offset just past its trailer.
  std::optional<std::uint64_t> member_end() const { return member_end_; }

 private:
  struct Piece;
  Result<void> round();
  struct Cuts {
    std::uint64_t from_bit = 0, piece_bytes = 0;
    std::vector<Result<std::optional<std::uint64_t>>> at;
  };
  Cuts cuts_from_here() const;
  void search_cut(Cuts& c, std::size_t j) const;
  Result<void> plan(std::vector<Piece>& batch, Cuts& c);
  Result<void> chain(std::vector<Bytes>& done, std::size_t most);
  Result<void> mend(Piece& p);
  Result<void> check_trailer();
  Bytes spare();
  std::uint64_t produced() const { return total_ - s_.total; }  // since the start

  Start s_;
  std::vector<unsigned char> history_;  // the last output mended
  std::uint32_t crc_;
  std::uint64_t total_;
  double ratio_ = 4.0;          // output bytes per input byte so far
  std::uint64_t planned_to_;    // bit where the next batch begins
  bool next_at_header_ = true;
  bool planned_all_ = false;    // the last piece planned runs to the end of the file
  bool splittable_ = true;      // block headers were found where searched
  std::size_t last_made_ = 0;   // output of the last piece mended
  std::vector<Piece> pending_;  // inflated against the stand-in, not yet mended
  std::optional<Cuts> cuts_;    // of the next batch
  std::unique_ptr<Inflater> exact_;  // where the mended output ends
  std::vector<Bytes> ready_;    // mended, not yet read
  std::vector<Bytes> spare_;    // read, kept for later pieces
  Bytes scratch_;
  std::size_t ready_piece_ = 0, ready_offset_ = 0;
  std::optional<std::uint64_t> member_end_;
};

}  // namespace orivex::io
