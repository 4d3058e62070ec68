// The camera's operator-facing texts: its errors and log lines.
//
// Worded as they are because people and programs outside this module read them: operators at the
// line and the host's log filters match them word for word, and the tests pin each one. The retry
// line is Korean ("재시도": retry) because it is what the operators on the line read in the host's
// log view; it separates its parts with an em dash, the exclusion line with a plain hyphen, and both
// put the reason first and the path last. Change one only together with its readers.
#pragma once

namespace qorva::dropnest::texts {

inline constexpr const char *kPathRequired = "DropnestCamera: 'path' parameter is required";
inline constexpr const char *kFolderNotFound = "DropnestCamera: dropnest not found: {}";  // str.format: the folder
inline constexpr const char *kCannotList = "cannot list the dropnest (will retry): %s";
inline constexpr const char *kCannotRead = "cannot read the file: ";  // followed by the error's text
inline constexpr const char *kUndecodable = "cannot decode the image (corrupt or unsupported format?)";
inline constexpr const char *kExcluded = "%s - excluded after %d failures: %s";  // reason, count, path
inline constexpr const char *kRetry = "%s — 재시도 %d/%d: %s";                   // reason, count, limit, path
inline constexpr const char *kPostProcessingFailed = "post-processing failed (%s): %s (%s)";  // mode, path, error

}  // namespace qorva::dropnest::texts
