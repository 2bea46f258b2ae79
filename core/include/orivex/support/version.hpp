// The name and release of this build. The release is generated from the one version number,
// in CMakeLists.txt's project(); the Python package metadata reads the same line.
#pragma once

namespace orivex {

inline constexpr const char* tool_name = "orivex";
extern const char* const tool_version;

}  // namespace orivex
