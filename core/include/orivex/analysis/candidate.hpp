// The 48 signed axis permutations that may repair a gradient table.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "orivex/io/gradient.hpp"

namespace orivex {

struct Candidate {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
};

struct CandidateScore {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
  double coherence = 0.0;
  std::size_t n_samples = 0;
};

std::vector<Candidate> all_candidates();

}  // namespace orivex
