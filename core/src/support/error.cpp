// Display texts of every Error kind, kept in one place.
#include "orivex/support/error.hpp"

#include <cstring>
#include <string>

#include "detail/text.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

Error Error::io(std::string text) { return Error(ErrorKind::Io, std::move(text)); }

std::string errno_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

Error Error::io_errno(int code) { return io(errno_text(code)); }

Error Error::nifti(std::string text) { return Error(ErrorKind::Nifti, std::move(text)); }
Error Error::json(std::string text) { return Error(ErrorKind::Json, std::move(text)); }
Error Error::parse(std::string path, std::string detail) {
  return Error(ErrorKind::Parse, std::move(path), std::move(detail));
}
Error Error::table_mismatch(std::size_t directions, std::size_t bvals) {
  return Error(ErrorKind::TableMismatch, {}, {}, directions, bvals);
}
Error Error::volume_mismatch(std::size_t gradients, std::size_t volumes) {
  return Error(ErrorKind::VolumeMismatch, {}, {}, gradients, volumes);
}
Error Error::mask_mismatch(std::size_t mask_voxels, std::size_t grid_voxels) {
  return Error(ErrorKind::MaskMismatch, {}, {}, mask_voxels, grid_voxels);
}
Error Error::invalid_threads() { return Error(ErrorKind::InvalidThreads); }
Error Error::thread_pool(std::string text) { return Error(ErrorKind::ThreadPool, std::move(text)); }
Error Error::tensor_fit(std::string detail) {
  return Error(ErrorKind::TensorFit, {}, std::move(detail));
}
Error Error::no_usable_shell() { return Error(ErrorKind::NoUsableShell); }
Error Error::invalid_margin(double threshold) {
  return Error(ErrorKind::InvalidMargin, {}, {}, 0, 0, threshold);
}
Error Error::amplitude_encoded(std::string detail) {
  return Error(ErrorKind::AmplitudeEncoded, {}, std::move(detail));
}
Error Error::refuse_overwrite(std::string path) {
  return Error(ErrorKind::RefuseOverwrite, std::move(path));
}
Error Error::invalid_option(std::string name, std::string rule, std::string value) {
  std::string detail = std::move(rule);
  if (!value.empty()) detail += ": " + value;
  return Error(ErrorKind::InvalidOption, std::move(name), std::move(detail));
}

Error Error::invalid_number(std::string path, std::string_view token) {
  return parse(std::move(path), "invalid number: " + detail::debug_quoted(token));
}
Error Error::non_finite_number(std::string path, std::string_view token) {
  return parse(std::move(path), "not a finite number: " + detail::debug_quoted(token));
}
Error Error::negative_bvalue(std::string path, std::string_view token) {
  return parse(std::move(path), "negative b-value: " + detail::debug_quoted(token));
}
Error Error::text_too_large(std::string path, std::size_t limit) {
  return parse(std::move(path), "larger than " + std::to_string(limit >> 20) +
                                    " MiB, far beyond any gradient table or sidecar");
}
Error Error::empty_table(std::string path) {
  return parse(std::move(path), "the table holds no volumes");
}
Error Error::no_usable_voxels() {
  return tensor_fit("no usable voxel for flip detection (each is below the minimum signal, "
                    "holds a non-finite value or gave no tensor)");
}
Error Error::non_finite_affine() {
  return nifti("the voxel-to-world affine holds non-finite values");
}
Error Error::output_is_input(std::string path) {
  return io("refusing to overwrite an input file: " + std::move(path));
}
Error Error::output_through_link(std::string path) {
  return io("refusing to write through a symbolic link: " + std::move(path));
}
Error Error::output_not_a_file(std::string path) {
  return io("refusing to write into a block device: " + std::move(path));
}

Error Error::with_backups_kept(const std::vector<std::string>& backups) && {
  if (backups.empty()) return std::move(*this);
  kept_ = "; the originals could not be put back and are kept as ";
  for (std::size_t i = 0; i < backups.size(); ++i) kept_ += (i > 0 ? ", " : "") + backups[i];
  return std::move(*this);
}

std::string Error::message() const { return display() + kept_; }

std::string Error::display() const {
  using std::to_string;
  switch (kind_) {
    case ErrorKind::Io: return "I/O error: " + text_;
    case ErrorKind::Nifti: return "NIfTI error: " + text_;
    case ErrorKind::Json: return "JSON error: " + text_;
    case ErrorKind::Parse: return "failed to parse " + text_ + ": " + detail_;
    case ErrorKind::TableMismatch:
      return "gradient table mismatch: " + to_string(a_) + " directions but " + to_string(b_) +
             " b-values";
    case ErrorKind::VolumeMismatch:
      return "volume mismatch: " + to_string(a_) + " gradients but " + to_string(b_) +
             " DWI volumes";
    case ErrorKind::MaskMismatch:
      return "mask grid mismatch: mask has " + to_string(a_) + " voxels but the DWI grid has " +
             to_string(b_);
    case ErrorKind::InvalidThreads: return "threads must be a positive integer";
    case ErrorKind::ThreadPool: return "could not create thread pool: " + text_;
    case ErrorKind::TensorFit: return "DTI fit failed: " + detail_;
    case ErrorKind::NoUsableShell: return "no usable non-b0 shell for flip detection";
    case ErrorKind::InvalidMargin:
      return "margin threshold must be finite and in (0, 1]: " + numfmt::shortest_plain(x_);
    case ErrorKind::AmplitudeEncoded: return "amplitude-encoded bvecs (--strict): " + detail_;
    case ErrorKind::RefuseOverwrite:
      return "refusing to overwrite existing file: " + text_ + " (pass --force to allow)";
    case ErrorKind::InvalidOption: return text_ + " must be " + detail_;
  }
  return "unknown error";
}

}  // namespace orivex
