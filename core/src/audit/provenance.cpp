// Provenance records: which tool wrote corrected files, from which bytes, with what evidence.
#include "orivex/audit/provenance.hpp"

#include <string_view>
#include <utility>

#include "orivex/io/file.hpp"
#include "orivex/support/json_writer.hpp"

namespace orivex {

namespace {

void write_frame(JsonWriter& w, const FrameProvenance& f) {
  w.begin_object();
  w.member("input_format", f.input_format);
  w.member("affine_determinant_sign", f.affine_determinant_sign);
  w.key("rotation");
  write_json(w, f.rotation);
  w.key("fsl_voxel_map");
  write_json(w, f.fsl_voxel_map);
  w.key("world_voxel_map");
  write_json(w, f.world_voxel_map);
  w.member("frames_divergent", f.frames_divergent);
  w.member("emitted_fsl", f.emitted_fsl);
  w.member("emitted_mrtrix", f.emitted_mrtrix);
  w.end_object();
}

}  // namespace

void write_json(JsonWriter& w, const Provenance& p) {
  w.begin_object();
  w.member("schema_version", p.schema_version);
  w.member("tool", p.tool);
  w.member("tool_version", p.tool_version);
  w.member("timestamp", p.timestamp);
  w.key("inputs");
  w.begin_array();
  for (const InputFile& f : p.inputs) write_json(w, f);
  w.end_array();
  // Nested records go through the report's own writers, so the two documents can never
  // disagree about a section's keys or numbers. Absent members are left out, not null.
  if (p.shells) {
    w.key("shells");
    write_json(w, *p.shells);
  }
  if (p.angular) {
    w.key("angular");
    write_json(w, *p.angular);
  }
  if (p.flip) {
    w.key("flip");
    write_json(w, *p.flip);
  }
  for (const ProvenanceSection& section : p.sections) {
    w.key(section.key);
    section.write(w);
  }
  if (p.applied_transform) {
    w.key("applied_transform");
    write_json(w, *p.applied_transform);
  }
  if (p.applied_label) w.member("applied_label", *p.applied_label);
  if (p.frame) {
    w.key("frame");
    write_frame(w, *p.frame);
  }
  w.key("outputs");
  w.array(p.outputs);
  w.key("notes");
  w.array(p.notes);
  w.end_object();
}

Provenance Provenance::create(std::vector<InputFile> inputs) {
  Provenance p;
  p.tool = tool_name;
  p.tool_version = orivex::tool_version;
  p.timestamp = rfc3339_now();
  p.inputs = std::move(inputs);
  return p;
}

Provenance Provenance::with_flip(const FlipResult& flip) && {
  this->flip = flip;
  applied_transform = flip.recommended_transform;
  applied_label = flip.recommended_label;
  return std::move(*this);
}

Provenance Provenance::with_outputs(std::vector<std::string> outputs) && {
  this->outputs = std::move(outputs);
  return std::move(*this);
}

std::string to_pretty_json(const Provenance& record) {
  JsonWriter w(JsonWriter::Layout::Pretty);
  write_json(w, record);
  return std::move(w).str();
}

namespace io::provenance {

Result<void> write(const std::string& path, const Provenance& record) {
  return replace_file(path, to_pretty_json(record));
}

}  // namespace io::provenance

}  // namespace orivex
