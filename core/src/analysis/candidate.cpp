// The 48 signed axis permutations, in the order and with the labels reports rely on.
#include "orivex/analysis/candidate.hpp"

#include <array>

namespace orivex {

std::vector<Candidate> all_candidates() {
  static constexpr std::array<std::array<int, 3>, 6> orders{{
      {0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
  static constexpr char axis_letter[3] = {'x', 'y', 'z'};

  std::vector<Candidate> out;
  out.reserve(48);
  for (const auto& p : orders) {
    // j enumerates the eight sign patterns with the first axis toggling fastest, so that every
    // candidate's negation appears within the same axis order.
    for (unsigned j = 0; j < 8; ++j) {
      const std::array<double, 3> s{(j & 1u) ? -1.0 : 1.0, (j & 2u) ? -1.0 : 1.0,
                                    j < 4 ? 1.0 : -1.0};
      Candidate c;
      c.label.reserve(6);
      for (int r = 0; r < 3; ++r) {
        c.matrix[r][p[r]] = s[r];
        c.label.push_back(s[r] < 0 ? '-' : '+');
        c.label.push_back(axis_letter[p[r]]);
      }
      c.is_identity = out.empty();
      out.push_back(std::move(c));
    }
  }
  return out;
}

}  // namespace orivex
