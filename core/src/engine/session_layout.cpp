#include "engine/session_layout.h"

#include <span>
#include <system_error>

#include "base/file.h"
#include "base/path_names.h"
#include "base/text.h"
#include "base/unicode_ranges.h"
#include "wav/repair.h"

namespace quillbox {
namespace fs = std::filesystem;

namespace {

bool keeps(char32_t c) {
  if (c < 0x80) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == '-' || c == '[' || c == ']' || c == '(' || c == ')';
  }
  return is_alphanumeric(c);
}

}  // namespace

std::string sanitize_label(std::string_view name) {
  // Kept characters are copied as their original bytes; undecodable bytes
  // count as "other" like any character outside the set.
  std::string mapped;
  mapped.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t start = i;
    const char32_t c = decode_utf8(name, i);
    if (keeps(c)) {
      mapped.append(name.substr(start, i - start));
    } else {
      mapped += '_';
    }
  }

  // Join the non-empty pieces between underscores.
  std::string joined;
  joined.reserve(mapped.size());
  std::size_t pos = 0;
  while (pos <= mapped.size()) {
    std::size_t end = mapped.find('_', pos);
    if (end == std::string::npos) end = mapped.size();
    if (end > pos) {
      if (!joined.empty()) joined += '_';
      joined.append(mapped, pos, end - pos);
    }
    pos = end + 1;
  }

  const std::size_t first = joined.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const std::size_t last = joined.find_last_not_of(' ');
  return joined.substr(first, last - first + 1);
}

std::string no_writable_dir_text(const NoWritableDir& error) {
  std::string text =
      "Recording couldn't be started because no writeable directory could be found. Please set "
      "the output directory field to a folder you can write to.";
  if (!error.tried.empty()) text += "\n\nTried:";
  for (const auto& [dir, reason] : error.tried) text += "\n" + path_to_text(dir) + ": " + reason;
  return text;
}

std::string instructions_header(std::uint32_t sample_rate) {
  return "# Quillbox session instructions\n"
         "# Sample rate: " +
         std::to_string(sample_rate) +
         "\n"
         "#\n"
         "# All stems in this session share the above sample rate.\n"
         "# Offsets below are sample-accurate at that rate.\n"
         "#\n"
         "# To mix this session in an audio editor:\n"
         "#   1. Repair any .recpart files to .wav using quillbox --repair\n"
         "#   2. Create a new project at the sample rate listed above\n"
         "#   3. For each line below, import the named file and place it\n"
         "#      at the given sample offset on the timeline\n"
         "#   4. Files play until their data ends; no trimming is needed\n"
         "#\n"
         "# sample_offset file\n";
}

namespace {

// A path's steps for comparing: repeated and trailing separators and "."
// steps after the first do not count, so "a/b/" and "a/./b" equal "a/b".
std::vector<fs::path> components(const fs::path& path) {
  std::vector<fs::path> out;
  for (const fs::path& step : path) {
    if (step.empty() || (step == "." && !out.empty())) continue;
    out.push_back(step);
  }
  return out;
}

// The folders to try, in order, without repeats.
std::vector<fs::path> candidate_dirs(const SessionRequest& request, const PlatformPaths& paths) {
  const std::optional<fs::path> cwd = paths.current_dir();
  fs::path primary = request.output_dir.empty() ? cwd.value_or(fs::path(".")) / PRODUCT_FOLDER
                                                : path_from_utf8(request.output_dir);
  std::vector<fs::path> dirs{std::move(primary)};
  const auto add = [&dirs](std::optional<fs::path> dir) {
    if (!dir) return;
    for (const fs::path& known : dirs) {
      if (components(known) == components(*dir)) return;
    }
    dirs.push_back(std::move(*dir));
  };
  add(cwd);
  const std::optional<fs::path> exe = paths.exe_dir();
  if (exe) add(*exe / PRODUCT_FOLDER);
  add(exe);
  const std::optional<fs::path> documents = paths.documents_dir();
  if (documents) add(*documents / PRODUCT_FOLDER);
  return dirs;
}

// What one attempt created; dropping it closes every file without flushing.
struct Attempt {
  std::optional<fs::path> first;        // single file
  std::optional<fs::path> session_dir;  // stems
  std::vector<RecpartWriter> writers;
  std::vector<fs::path> files;
  std::optional<BufferedFile> instructions;
  fs::path instructions_path;
};

// Source i's format; the mixed file's when the request names no sources.
const AudioFormat& source_spec(const SessionRequest& request, std::size_t i) {
  return i < request.specs.size() ? request.specs[i] : request.session_spec;
}

RecpartWriter make_writer(fs::path base_path, const AudioFormat& spec, bool started,
                          std::optional<BufferedFile> file) {
  RecpartWriter writer;
  if (file) writer.path = base_path;
  writer.base_path = std::move(base_path);
  writer.file = std::move(file);
  writer.spec = spec;
  writer.part = 1;
  writer.segment = 1;
  writer.segment_started = started;
  return writer;
}

std::expected<void, Error> lay_out(const fs::path& dir, const SessionRequest& request,
                                   Attempt& attempt) {
  if (auto r = create_dir_all(dir); !r) return r;
  const fs::path first = unique_path(
      dir / path_from_utf8(std::string(SESSION_DIR_PREFIX) + request.timestamp + ".recpart"));

  if (request.mode == RecordMode::Single) {
    attempt.first = first;
    auto file = create_recpart_file(first, request.session_spec);
    if (!file) return std::unexpected(file.error());
    attempt.writers.push_back(make_writer(first, source_spec(request, 0), true, std::move(*file)));
    attempt.files.push_back(first);
    return {};
  }

  const fs::path stem = name_parts(first).stem;
  const fs::path session_dir = unique_path(dir / (stem.empty() ? fs::path("recording") : stem));
  attempt.session_dir = session_dir;
  if (auto r = create_dir_all(session_dir); !r) return r;

  const bool instructed = request.mode == RecordMode::StemsInstructed;
  for (std::size_t i = 0; i < request.specs.size(); ++i) {
    const std::string label = i < request.labels.size() ? request.labels[i] : std::string();
    fs::path path = session_dir / path_from_utf8(label + ".recpart");
    const bool opens = !instructed || (i < request.active.size() && request.active[i]);
    std::optional<BufferedFile> file;
    if (opens) {
      path = unique_path(path);
      auto created = create_recpart_file(path, request.specs[i]);
      if (!created) return std::unexpected(created.error());
      file = std::move(*created);
      attempt.files.push_back(path);
    }
    attempt.writers.push_back(
        make_writer(std::move(path), request.specs[i], opens, std::move(file)));
  }

  if (instructed) {
    attempt.instructions_path = session_dir / "instructions.txt";
    auto file = File::create(attempt.instructions_path);
    if (!file) return std::unexpected(file.error());
    attempt.instructions.emplace(std::move(*file));
    const std::string header = instructions_header(source_spec(request, 0).sample_rate);
    if (auto r = attempt.instructions->write(std::as_bytes(std::span(header))); !r) return r;
  }
  return {};
}

// Removes what a failed attempt left in `dir`; removal errors are ignored.
void clean_up(const fs::path& dir, bool existed, Attempt attempt) {
  attempt.writers.clear();
  attempt.instructions.reset();
  std::error_code ec;
  if (attempt.first) fs::remove(*attempt.first, ec);
  if (attempt.session_dir) fs::remove_all(*attempt.session_dir, ec);
  // Only a directory this call made, and only while empty; never a file that
  // happened to be at the output path.
  if (!existed && fs::is_directory(dir, ec)) fs::remove(dir, ec);
}

}  // namespace

std::expected<SessionLayout, NoWritableDir> create_session_layout(const SessionRequest& request,
                                                                  const PlatformPaths& paths) {
  const std::vector<fs::path> dirs = candidate_dirs(request, paths);
  NoWritableDir error;
  for (const fs::path& dir : dirs) {
    std::error_code ec;
    const bool existed = fs::is_directory(dir, ec);
    Attempt attempt;
    if (auto r = lay_out(dir, request, attempt); !r) {
      clean_up(dir, existed, std::move(attempt));
      error.tried.emplace_back(dir, r.error().text);
      continue;
    }

    SessionLayout layout;
    layout.dir = dir;
    layout.dir_created = !existed;
    layout.writers = std::move(attempt.writers);
    layout.files = std::move(attempt.files);
    layout.instructions = std::move(attempt.instructions);
    layout.instructions_path = std::move(attempt.instructions_path);
    layout.rescue_dirs.push_back(dir);
    for (const fs::path& other : dirs)
      if (&other != &dir) layout.rescue_dirs.push_back(other);
    if (!error.tried.empty()) {
      layout.notice = "Could not write to " + path_to_text(dirs.front()) + "; recording in " +
                      path_to_text(dir) + " instead: " + error.tried.front().second;
    } else if (!existed) {
      layout.notice = "Created output directory " + path_to_text(dir);
    }
    return layout;
  }
  return std::unexpected(std::move(error));
}

}  // namespace quillbox
