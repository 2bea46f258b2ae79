// Directions and 3x3 matrices: a matrix is stored by rows and maps a column vector g to M·g.
#pragma once

#include <array>

namespace orivex {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<std::array<double, 3>, 3>;

inline constexpr Mat3 identity3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// M·g, each component summed left to right.
constexpr Vec3 multiply(const Mat3& m, const Vec3& g) {
  return {m[0][0] * g[0] + m[0][1] * g[1] + m[0][2] * g[2],
          m[1][0] * g[0] + m[1][1] * g[1] + m[1][2] * g[2],
          m[2][0] * g[0] + m[2][1] * g[1] + m[2][2] * g[2]};
}

constexpr Mat3 multiply(const Mat3& a, const Mat3& b) {
  Mat3 out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
  return out;
}

constexpr Mat3 transpose(const Mat3& m) {
  Mat3 t{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) t[r][c] = m[c][r];
  return t;
}

constexpr Mat3 negated(const Mat3& m) {
  Mat3 n{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) n[r][c] = -m[r][c];
  return n;
}

}  // namespace orivex
