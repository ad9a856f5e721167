#include "wav/repair.h"

#include <algorithm>
#include <array>
#include <system_error>

#include "base/file.h"
#include "base/path_names.h"
#include "base/text.h"
#include "wav/riff.h"
#include "wav/wav_header.h"

namespace quillbox {
namespace {

// Read first: "RIFF", its size, "WAVE", the fmt chunk's header and the fields
// every fmt chunk starts with.
constexpr std::size_t FMT_BODY = 12 + riff::CHUNK_HEADER_SIZE;
constexpr std::size_t PROBE_SIZE = FMT_BODY + riff::FMT_FIELDS_SIZE;

Error unrecognised() {
  return app_error("not a recognised .recpart/.wav header");
}

// The rebuilt header is 44 or 58 bytes long and is written over the start of
// the file. That is only safe when the file already has that layout, i.e. its
// chunk tags sit where the rebuilt header puts them: a foreign WAV with a
// longer or shorter header would otherwise lose samples or gain header bytes
// as samples. `head` holds the file's first min(length, header) bytes; tags
// past the end of a short file cannot be checked, and nothing follows them.
bool layout_matches(std::span<const std::byte> head, const AudioFormat& spec) {
  const WavHeader expected = build_header(spec, 0);
  const std::span<const std::byte> want = expected.view();
  const std::size_t data_tag = want.size() - 8;
  const auto same_tag_bytes = [&](std::size_t offset) {
    for (std::size_t i = offset; i < offset + 4 && i < head.size(); ++i)
      if (head[i] != want[i]) return false;
    return true;
  };
  if (!same_tag_bytes(data_tag)) return false;
  return !spec.is_float || same_tag_bytes(38);  // "fact"
}

bool has_recpart_extension(const std::filesystem::path& path) {
  return name_parts(path).extension == std::filesystem::path(".recpart");
}

}  // namespace

std::expected<std::filesystem::path, Error> repair_file(const std::filesystem::path& path) {
  auto file = File::open_existing(path);
  if (!file) return std::unexpected(file.error());
  if (auto r = file->seek(0); !r) return std::unexpected(r.error());

  std::array<std::byte, MAX_HEADER_SIZE> head{};
  if (auto r = read_exact(*file, std::span(head).first(PROBE_SIZE)); !r)
    return std::unexpected(r.error());
  if (!riff::tag_at(head, 0, riff::RIFF) || !riff::tag_at(head, 8, riff::WAVE) ||
      !riff::tag_at(head, 12, riff::FMT))
    return std::unexpected(unrecognised());

  // The fields come from an untrusted file; every value is acceptable to the
  // header builder, which does no arithmetic that can fail on them.
  const riff::FmtFields fmt = riff::fmt_fields(std::span(head).subspan(FMT_BODY));
  const AudioFormat spec{
      .sample_rate = fmt.sample_rate,
      .channels = fmt.channels,
      .bits_per_sample = fmt.bits,
      .is_float = fmt.format == riff::FORMAT_FLOAT,
  };

  const auto length = file->length();
  if (!length) return std::unexpected(length.error());
  const std::size_t have =
      static_cast<std::size_t>(std::min<std::uint64_t>(*length, header_size(spec)));
  if (have > PROBE_SIZE) {
    if (auto r = read_exact(*file, std::span(head).subspan(PROBE_SIZE, have - PROBE_SIZE)); !r)
      return std::unexpected(r.error());
  }
  if (!layout_matches(std::span(head).first(std::max(have, PROBE_SIZE)), spec))
    return std::unexpected(unrecognised());

  if (auto r = patch_header(*file, spec); !r) return std::unexpected(r.error());
  file->close();

  std::filesystem::path target = path;
  target.replace_extension("wav");
  target = unique_path(target);
  if (auto r = rename_replace(path, target); !r) return std::unexpected(r.error());
  return target;
}

namespace {

// The folders a stems recording makes for its files, "recording_<time>".
bool is_session_dir(const std::filesystem::directory_entry& entry) {
  std::error_code ec;
  return path_to_text(entry.path().filename()).starts_with(SESSION_DIR_PREFIX) &&
         entry.is_directory(ec);
}

// Repairs the `.recpart` entries of `dir` but those to leave alone, and with
// `sessions` those of the session folders in it.
void repair_entries(const std::filesystem::path& dir, bool sessions, const LeaveAlone& leave_alone,
                    std::vector<RepairOutcome>& outcomes) {
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  // Missing, not a directory, empty path, no access: nothing to repair.
  if (ec) return;
  // Listed first: a repair renames entries, which a listing need not survive.
  std::vector<std::filesystem::path> found, session_dirs;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::filesystem::path entry = it->path();
    // By name only: a directory called "x.recpart" is tried too and fails.
    if (has_recpart_extension(entry))
      found.push_back(entry);
    else if (sessions && is_session_dir(*it))
      session_dirs.push_back(entry);
  }
  for (const std::filesystem::path& entry : found) {
    if (leave_alone && leave_alone(entry)) continue;
    outcomes.push_back({entry, repair_file(entry)});
  }
  for (const std::filesystem::path& session : session_dirs)
    repair_entries(session, false, leave_alone, outcomes);
}

}  // namespace

std::vector<RepairOutcome> repair_directory(const std::filesystem::path& dir,
                                            const LeaveAlone& leave_alone) {
  std::vector<RepairOutcome> outcomes;
  repair_entries(dir, true, leave_alone, outcomes);
  return outcomes;
}

}  // namespace quillbox
