#pragma once

// The files of one recording as the processor thread writes them: the
// writers (writer 0 alone for a mixed file, else one per source), the list
// of created files in creation order, the segments of instructed stems and
// their instructions file. Every write error, of audio, header or
// instructions alike, becomes the recording's first error; once there is
// one, nothing more is written and the processor ends.
//
// Every file stays open until `finish`, so one that was deleted or moved
// meanwhile is saved again from its handle (see session_rescue.h); new parts
// and segments of such a session go to where it is saved again.
//
// The files of a recording reach the disk together: each file's audio waits
// here until every open file has reached the next flush mark on the
// timeline (every `FLUSH_MARKS_PER_SECOND`th of a second), and then all of
// them are written and flushed up to that mark. So after a crash the files
// end at the same moment, a fraction of a second before it.
//
// Each file is named to the recording's `LiveFiles` before it is created,
// so no other thread takes it for a left-over while it is written.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/audio_format.h"
#include "base/buffered_file.h"
#include "engine/live_files.h"
#include "engine/session_rescue.h"
#include "wav/recpart_writer.h"

namespace quillbox {

inline constexpr std::uint32_t FLUSH_MARKS_PER_SECOND = 25;

class SessionOutput {
 public:
  // `naming` says how a full file continues in a new part. New parts and
  // segments are named to `live` (when there is one) before they are made.
  SessionOutput(std::vector<RecpartWriter> writers, std::vector<std::filesystem::path> files,
                std::optional<BufferedFile> instructions, std::filesystem::path instructions_path,
                PartNaming naming, std::uint64_t part_size_limit, SessionRescue rescue,
                std::shared_ptr<LiveFiles> live);

  std::size_t writer_count() const { return writers_.size(); }
  const AudioFormat& spec(std::size_t w) const { return writers_[w].spec; }

  // Appends interleaved samples through writer `w` (to its file at the next
  // flush mark), continuing in a new part when they fill the current one.
  // False once the recording has an error.
  bool write(std::size_t w, std::span<const float> samples);
  // Appends `samples` zero samples through writer `w`.
  bool write_silence(std::size_t w, std::uint64_t samples);

  // Instructed stems: writer `w`'s source switched on at `offset` frames: its
  // next segment file is created (at the first free name) and the line
  // "{offset} {label}" is added to the instructions.
  bool open_segment(std::size_t w, std::uint64_t offset);
  // Its source switched off: the segment file is finished and closed.
  bool close_segment(std::size_t w);
  // "{offset} {label}" for writer `w`'s current file, without its extension,
  // written through to the file at once.
  bool instruct(std::size_t w, std::uint64_t offset);

  // Records `text` as the recording's error unless it has one already.
  void fail(std::string text);
  const std::optional<std::string>& error() const { return error_; }

  // Finishes every file (headers with the real sizes, instructions flushed),
  // saves again those no longer where they were made, closes them all and
  // hands out the created files, by their names now.
  std::vector<std::filesystem::path> finish();
  // The files `finish` saved again.
  const std::vector<RescuedFile>& rescued() const { return rescued_; }
  // The loudest sample written to any file of the session, as a fraction of
  // full scale.
  float peak() const;

 private:
  // Calls `f(name, file)` for every file still open.
  template <typename F>
  void each_open_file(const F& f);
  // Some file of the session is no longer where it was made.
  bool vanished();
  // Where a new file of the session goes: `wanted`, or its place where the
  // session is saved again once its files vanished.
  std::filesystem::path placed(const std::filesystem::path& wanted);
  void save_vanished();
  // A file about to be created at `path`: named to the live files first.
  void announce(const std::filesystem::path& path);
  // Writes samples through writer `w` straight into its file's buffer.
  bool write_through(std::size_t w, std::span<const float> samples);
  // Writer `w`'s waiting audio up to timeline frame `until` goes to its file.
  bool release(std::size_t w, std::uint64_t until);
  // Once every open file has reached the next flush mark, all of them are
  // written and flushed up to it.
  bool flush_at_marks();

  std::vector<RecpartWriter> writers_;
  std::vector<std::filesystem::path> files_;
  std::optional<BufferedFile> instructions_;
  std::filesystem::path instructions_path_;
  SessionRescue rescue_;
  std::shared_ptr<LiveFiles> live_;
  std::vector<RescuedFile> rescued_;
  std::vector<std::string> labels_;  // each writer's current file name without extension
  PartNaming naming_;
  std::uint64_t part_size_limit_;
  std::vector<std::vector<float>> waiting_;  // each writer's audio not yet in its file
  std::vector<std::uint64_t> ends_;          // the timeline frame each writer's audio reaches
  std::uint64_t mark_frames_;                // frames between two flush marks
  std::uint64_t flushed_to_ = 0;             // the last flush mark
  std::optional<std::string> error_;
};

}  // namespace quillbox
