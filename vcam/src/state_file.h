// StateFile - the camera model's settings kept in a file, so that cameras in
// several processes (one per command a user runs) behave as one camera that
// remembers its settings, as hardware does.
//
// The file is JSON: {"cameras": [{"palette": 3, ...}, ...]}, one object per
// camera in add order, with the keys palette, temp_level_code, temp_unit,
// image_level, env (5 numbers, x10000) and tuning (6 numbers). Keys missing
// from an object leave the model's value; a file that does not parse counts
// as empty and is rewritten at the next change.
#pragma once

#include "vcam/VirtualCamera.h"

#include <functional>
#include <string>
#include <vector>

namespace vcam {
namespace detail {

// Under an exclusive lock on `path` (created if missing): copies the
// settings of camera `ordinal` from the file into `model`, runs `change`,
// and writes the file back when the settings differ from what it held.
// Returns false (and leaves `model` to `change` alone) when the file cannot
// be opened.
bool UpdateThroughStateFile(const std::string& path, int ordinal, Model& model,
                            const std::function<void(Model&)>& change);

// The file's text for these models' settings, and back. Decoding applies
// the settings of each object to the model of the same position, adding
// default models as needed; false when the text does not parse.
std::string EncodeSettings(const std::vector<Model>& models);
bool DecodeSettings(const std::string& text, std::vector<Model>* models);

}  // namespace detail
}  // namespace vcam
