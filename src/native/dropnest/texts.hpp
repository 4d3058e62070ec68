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
inline constexpr const char *kListedAgain = "the dropnest can be listed again: %s";  // the folder

// Values refused at open: each would stop or stall the camera at its first use (a nan stable time
// never settles, an infinite poll interval cannot be waited on, "/x" makes no marker name).
inline constexpr const char *kNotFinite = "DropnestCamera: '{}' must be a finite number, got {!r}";  // key, value
inline constexpr const char *kBadCap = "DropnestCamera: 'max_pixels' must be a whole number above 0, got {!r}";
inline constexpr const char *kBadMarker = "DropnestCamera: 'sentinel_ext' cannot end a file name, got {!r}";
inline constexpr const char *kProcessedIsFolder = "DropnestCamera: 'processed_dir' is the monitored folder itself: {}";

// Files not taken (yet). Reasons come first and paths last, as in the retry lines.
inline constexpr const char *kSetAside = "%s - set aside: %s";  // reason, path
inline constexpr const char *kTooManyPixels = "image of {}x{} pixels is larger than max_pixels {}";  // w, h, cap
inline constexpr const char *kTooManyBytes = "file of {} bytes is larger than any image of max_pixels {}";  // size, cap
inline constexpr const char *kIncomplete = "the file ends before its image does (still being written?)";
inline constexpr const char *kIncompleteRead = "%s: %s";  // kIncomplete, path (debug)
inline constexpr const char *kNotCounted = "%s - not counted, the file changed since the last attempt: %s";
inline constexpr const char *kOutOfDescriptors =
    "%s - the process is out of file descriptors; files are retried, not counted, until some are free: %s";
inline constexpr const char *kStillWaiting = "%s - not taken after %d attempts, will keep trying: %s";  // reason, n, path
inline constexpr const char *kMarkerUnchecked = "cannot check the completion marker of %s (not ready): %s";  // path, error

}  // namespace qorva::dropnest::texts
