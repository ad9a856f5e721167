#include "wav/wav_reader.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/file.h"
#include "wav/riff.h"
#include "wav/wav_writer.h"

namespace quillbox {
namespace {

Error ill_formed(const std::string& reason) {
  return app_error("Ill-formed WAVE file: " + reason);
}

// libsndfile's view of a quillbox::File: every read goes through the file
// seam, behind a read buffer so that libsndfile's small reads cost no system
// call each. The first system error is kept; libsndfile itself only sees a
// short read.
//
// At first the view is the whole file. `show` replaces it with a header made
// here followed by one byte range of the file (the samples), so that
// libsndfile never parses the file's own chunks: its chunk parser can spin
// forever on a malformed LIST chunk, and every chunk it would need has been
// checked here already.
class VirtualFile {
 public:
  static constexpr std::size_t BUFFER = 64 * 1024;

  VirtualFile(File file, std::uint64_t length)
      : file_(std::move(file)), length_(length), buffer_(BUFFER) {}

  std::uint64_t length() const { return length_; }
  std::uint64_t tell() const { return pos_; }
  const std::optional<Error>& error() const { return error_; }

  // From now on the view is `head` followed by `size` bytes of the file from
  // `offset`, which the caller has checked to lie inside the file.
  void show(std::vector<std::byte> head, std::uint64_t offset, std::uint64_t size) {
    head_ = std::move(head);
    base_ = offset;
    length_ = head_.size() + size;
    pos_ = 0;
  }

  // Moves the read position; a position before the start is refused (-1).
  std::int64_t seek(std::int64_t offset, int whence) {
    std::int64_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<std::int64_t>(pos_);
    if (whence == SEEK_END) base = static_cast<std::int64_t>(length_);
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    if (offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset) return -1;
    const std::int64_t target = base + offset;
    if (target < 0) return -1;
    pos_ = static_cast<std::uint64_t>(target);
    return target;
  }

  // Reads up to `size` bytes at the read position; fewer at the end of the
  // view or after a system error.
  std::size_t read(void* data, std::size_t size) {
    auto* out = static_cast<std::byte*>(data);
    std::size_t done = 0;
    while (done < size && pos_ < length_) {
      const auto want =
          static_cast<std::size_t>(std::min<std::uint64_t>(size - done, length_ - pos_));
      std::size_t n = 0;
      if (pos_ < head_.size()) {
        n = std::min<std::size_t>(want, head_.size() - static_cast<std::size_t>(pos_));
        std::memcpy(out + done, head_.data() + pos_, n);
      } else {
        n = read_file(base_ + (pos_ - head_.size()), out + done, want);
        if (n == 0) break;
      }
      done += n;
      pos_ += n;
    }
    return done;
  }

 private:
  // Up to `size` bytes of the file at `offset`, through the buffer.
  std::size_t read_file(std::uint64_t offset, std::byte* out, std::size_t size) {
    if (offset < buffer_start_ || offset >= buffer_start_ + buffer_length_) {
      if (error_) return 0;
      if (physical_ != offset) {
        if (auto r = file_.seek(offset); !r) {
          error_ = r.error();
          return 0;
        }
        physical_ = offset;
      }
      auto n = file_.read_some(buffer_.data(), buffer_.size());
      if (!n) {
        error_ = n.error();
        return 0;
      }
      physical_ += *n;
      buffer_start_ = offset;
      buffer_length_ = *n;
      if (*n == 0) return 0;
    }
    const auto at = static_cast<std::size_t>(offset - buffer_start_);
    const std::size_t n = std::min(size, buffer_length_ - at);
    std::memcpy(out, buffer_.data() + at, n);
    return n;
  }

  File file_;
  std::uint64_t length_ = 0;  // of the view
  std::uint64_t pos_ = 0;     // in the view
  std::vector<std::byte> head_;
  std::uint64_t base_ = 0;  // file offset of the view's first byte after head_
  std::uint64_t physical_ = 0;
  std::vector<std::byte> buffer_;
  std::uint64_t buffer_start_ = 0;
  std::size_t buffer_length_ = 0;
  std::optional<Error> error_;
};

VirtualFile& vf(void* user) {
  return *static_cast<VirtualFile*>(user);
}

sf_count_t vio_length(void* user) {
  return static_cast<sf_count_t>(vf(user).length());
}
sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
  return vf(user).seek(offset, whence);
}
sf_count_t vio_read(void* data, sf_count_t count, void* user) {
  if (count <= 0) return 0;
  return static_cast<sf_count_t>(vf(user).read(data, static_cast<std::size_t>(count)));
}
sf_count_t vio_write(const void*, sf_count_t, void*) {
  return 0;
}
sf_count_t vio_tell(void* user) {
  return static_cast<sf_count_t>(vf(user).tell());
}

// Chunks looked at before giving up; real files have a handful.
constexpr int MAX_CHUNKS = 4096;

// The format chunk as the file declares it; libsndfile does not report the
// declared depth (a 12-bit file reads as 16-bit), so the chunk is read here.
struct FmtChunk {
  std::uint16_t tag = 0;  // PCM or float; the sub-format's tag for extensible chunks
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint16_t block_align = 0;
  std::uint16_t bits = 0;           // valid bits per sample
  std::array<std::byte, 40> raw{};  // the chunk's body as libsndfile will see it
  std::size_t raw_size = 16;        // 40 for an extensible chunk
};

std::expected<FmtChunk, Error> parse_fmt(VirtualFile& file, std::uint32_t size) {
  if (size < riff::FMT_FIELDS_SIZE) return std::unexpected(ill_formed("fmt chunk is too short"));
  std::array<std::byte, 40> body{};
  const std::size_t want = std::min<std::size_t>(size, body.size());
  if (file.read(body.data(), want) != want) {
    if (file.error()) return std::unexpected(*file.error());
    return std::unexpected(ill_formed("the file ends inside the fmt chunk"));
  }
  const riff::FmtFields fields = riff::fmt_fields(body);
  FmtChunk fmt;
  fmt.raw = body;
  fmt.tag = fields.format;
  fmt.channels = fields.channels;
  fmt.sample_rate = fields.sample_rate;
  fmt.block_align = fields.block_align;
  fmt.bits = fields.bits;
  if (fmt.tag != riff::FORMAT_EXTENSIBLE) return fmt;
  if (size < 40) return std::unexpected(ill_formed("extensible fmt chunk is too short"));
  fmt.raw_size = 40;
  const std::uint16_t valid = riff::u16_at(body, 18);
  if (valid > fmt.bits)
    return std::unexpected(ill_formed(std::to_string(valid) + " valid bits in " +
                                      std::to_string(fmt.bits) + "-bit samples"));
  if (valid != 0) fmt.bits = valid;
  fmt.tag = riff::u16_at(body, 24);
  if (std::memcmp(body.data() + 26, riff::SUBFORMAT_GUID_TAIL.data(),
                  riff::SUBFORMAT_GUID_TAIL.size()) != 0 ||
      (fmt.tag != riff::FORMAT_PCM && fmt.tag != riff::FORMAT_FLOAT))
    return std::unexpected(app_error("Unsupported WAVE format: unknown sub-format"));
  return fmt;
}

struct Chunks {
  FmtChunk fmt;
  std::uint64_t data_offset = 0;  // of the first sample byte
  std::uint32_t data_size = 0;
};

// Walks the RIFF chunks for the format and data chunks and checks that the
// data chunk holds as many bytes as it claims: a cut-off file is an error,
// not a shorter recording.
std::expected<Chunks, Error> read_chunks(VirtualFile& file) {
  std::array<std::byte, 12> form{};
  const std::size_t got = file.read(form.data(), form.size());
  if (file.error()) return std::unexpected(*file.error());
  if (got < 4 || !riff::tag_at(form, 0, riff::RIFF))
    return std::unexpected(ill_formed("no RIFF tag found"));
  if (got < 12 || !riff::tag_at(form, 8, riff::WAVE))
    return std::unexpected(ill_formed("no WAVE tag found"));

  std::optional<FmtChunk> fmt;
  bool data_seen = false;
  Chunks chunks;
  std::uint64_t pos = 12;
  for (int i = 0; i < MAX_CHUNKS && pos + 8 <= file.length() && !(fmt && data_seen); ++i) {
    std::array<std::byte, riff::CHUNK_HEADER_SIZE> head{};
    file.seek(static_cast<std::int64_t>(pos), SEEK_SET);
    if (file.read(head.data(), head.size()) != head.size()) break;
    const std::uint32_t size = riff::u32_at(head, 4);
    if (riff::tag_at(head, 0, riff::FMT) && !fmt) {
      auto parsed = parse_fmt(file, size);
      if (!parsed) return std::unexpected(parsed.error());
      fmt = *parsed;
    } else if (riff::tag_at(head, 0, riff::DATA) && !data_seen) {
      data_seen = true;
      chunks.data_offset = pos + 8;
      chunks.data_size = size;
      const std::uint64_t present = file.length() - (pos + 8);
      if (size > present)
        return std::unexpected(ill_formed("the data chunk is cut off (" + std::to_string(present) +
                                          " of " + std::to_string(size) + " bytes present)"));
    }
    pos += 8 + std::uint64_t{size} + (size & 1);
  }
  if (file.error()) return std::unexpected(*file.error());
  if (!fmt) return std::unexpected(ill_formed("missing fmt chunk"));
  if (!data_seen) return std::unexpected(ill_formed("missing data chunk"));
  chunks.fmt = *fmt;
  return chunks;
}

// A minimal header for libsndfile: the checked fmt chunk and the data chunk's
// header, nothing else.
std::vector<std::byte> canonical_header(const Chunks& chunks) {
  const std::size_t fmt_size = chunks.fmt.raw_size;
  std::vector<std::byte> head(12 + riff::CHUNK_HEADER_SIZE + fmt_size + riff::CHUNK_HEADER_SIZE);
  const std::uint64_t riff_size = head.size() - 8 + std::uint64_t{chunks.data_size};
  riff::HeaderOut out(head);
  out.chunk(riff::RIFF, static_cast<std::uint32_t>(std::min<std::uint64_t>(riff_size, 0xFFFFFFFF)));
  out.tag(riff::WAVE);
  out.chunk(riff::FMT, static_cast<std::uint32_t>(fmt_size));
  out.bytes(std::span(chunks.fmt.raw).first(fmt_size));
  out.chunk(riff::DATA, chunks.data_size);
  return head;
}

// Bits of the sample container libsndfile decodes, 0 for anything else.
unsigned container_bits(int format, bool is_float) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
      return is_float ? 0 : 8;
    case SF_FORMAT_PCM_16:
      return is_float ? 0 : 16;
    case SF_FORMAT_PCM_24:
      return is_float ? 0 : 24;
    case SF_FORMAT_PCM_32:
      return is_float ? 0 : 32;
    case SF_FORMAT_FLOAT:
      return is_float ? 32 : 0;
    default:
      return 0;
  }
}

struct SndClose {
  void operator()(SNDFILE* snd) const { sf_close(snd); }
};

// The whole frames that `samples` samples hold.
sf_count_t frames_in(std::size_t samples, std::uint16_t channels) {
  return static_cast<sf_count_t>(samples / channels);
}

}  // namespace

struct WavReader::Source {
  Source(File file, std::uint64_t length) : view(std::move(file), length) {}

  std::optional<Error> read_error(sf_count_t frames) const {
    if (view.error()) return *view.error();
    if (frames <= 0 && sf_error(snd.get()) != SF_ERR_NO_ERROR)
      return ill_formed(sf_strerror(snd.get()));
    return std::nullopt;
  }

  VirtualFile view;
  std::unique_ptr<SNDFILE, SndClose> snd;  // closed before view, which it reads
};

WavReader::WavReader(std::unique_ptr<Source> source, const AudioFormat& spec, int shift)
    : source_(std::move(source)), spec_(spec), shift_(shift) {}
WavReader::WavReader(WavReader&&) noexcept = default;
WavReader& WavReader::operator=(WavReader&&) noexcept = default;
WavReader::~WavReader() = default;

std::expected<WavReader, Error> WavReader::open(const std::filesystem::path& path) {
  auto file = File::open_read(path);
  if (!file) return std::unexpected(file.error());
  auto length = file->length();
  if (!length) return std::unexpected(length.error());
  auto source = std::make_unique<Source>(std::move(*file), *length);
  VirtualFile& view = source->view;

  auto chunks = read_chunks(view);
  if (!chunks) return std::unexpected(chunks.error());
  const FmtChunk* fmt = &chunks->fmt;
  if (fmt->tag != riff::FORMAT_PCM && fmt->tag != riff::FORMAT_FLOAT) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", unsigned{fmt->tag});
    return std::unexpected(app_error(std::string("Unsupported WAVE format: format tag ") + tag));
  }
  if (fmt->channels == 0) return std::unexpected(ill_formed("channel count is 0"));
  if (fmt->sample_rate == 0) return std::unexpected(ill_formed("sample rate is 0"));
  const bool is_float = fmt->tag == riff::FORMAT_FLOAT;
  const unsigned bits = fmt->bits;
  // Only what the output can hold: the file is measured and rewritten alike.
  const AudioFormat spec{fmt->sample_rate, fmt->channels, fmt->bits, is_float};
  if (auto r = check_wav_format(spec); !r) return std::unexpected(r.error());

  view.show(canonical_header(*chunks), chunks->data_offset, chunks->data_size);
  SF_VIRTUAL_IO vio{vio_length, vio_seek, vio_read, vio_write, vio_tell};
  SF_INFO info{};
  source->snd.reset(sf_open_virtual(&vio, SFM_READ, &info, &view));
  if (!source->snd) {
    if (view.error()) return std::unexpected(*view.error());
    return std::unexpected(ill_formed(sf_strerror(nullptr)));
  }
  const int major = info.format & SF_FORMAT_TYPEMASK;
  if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX)
    return std::unexpected(ill_formed("not a RIFF WAVE file"));
  const unsigned container = container_bits(info.format, is_float);
  if (container < bits || info.channels != fmt->channels ||
      static_cast<std::uint32_t>(info.samplerate) != fmt->sample_rate)
    return std::unexpected(ill_formed("the samples do not match the fmt chunk"));
  if (std::uint32_t{fmt->block_align} != container / 8 * fmt->channels)
    return std::unexpected(ill_formed("block align " + std::to_string(fmt->block_align) +
                                      " does not fit " + std::to_string(fmt->channels) +
                                      " channel(s) of " + std::to_string(container) +
                                      "-bit samples"));

  // libsndfile left-justifies integer samples in 32 bits.
  return WavReader(std::move(source), spec, 32 - static_cast<int>(bits));
}

std::size_t WavReader::block_samples() const {
  const std::size_t frames = std::max<std::size_t>(1, 16384 / spec_.channels);
  return frames * spec_.channels;
}

std::expected<std::size_t, Error> WavReader::read_ints(std::span<std::int32_t> out) {
  const sf_count_t frames =
      sf_readf_int(source_->snd.get(), out.data(), frames_in(out.size(), spec_.channels));
  if (auto e = source_->read_error(frames); e) return std::unexpected(*e);
  const std::size_t n = static_cast<std::size_t>(frames) * spec_.channels;
  for (std::size_t i = 0; i < n; ++i) out[i] >>= shift_;
  return n;
}

std::expected<std::size_t, Error> WavReader::read_floats(std::span<float> out) {
  const sf_count_t frames =
      sf_readf_float(source_->snd.get(), out.data(), frames_in(out.size(), spec_.channels));
  if (auto e = source_->read_error(frames); e) return std::unexpected(*e);
  return static_cast<std::size_t>(frames) * spec_.channels;
}

std::expected<void, Error> WavReader::rewind() {
  if (sf_seek(source_->snd.get(), 0, SEEK_SET) != 0) {
    if (source_->view.error()) return std::unexpected(*source_->view.error());
    return std::unexpected(ill_formed(sf_strerror(source_->snd.get())));
  }
  return {};
}

void WavReader::close() {
  source_.reset();
}

}  // namespace quillbox
