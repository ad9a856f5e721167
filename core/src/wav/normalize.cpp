#include "wav/normalize.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <system_error>
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

// A WAV file opened for reading: the format chunk checked against what
// libsndfile decodes, samples delivered exactly as stored.
class WavInput {
 public:
  static std::expected<WavInput, Error> open(const std::filesystem::path& path) {
    auto file = File::open_read(path);
    if (!file) return std::unexpected(file.error());
    auto length = file->length();
    if (!length) return std::unexpected(length.error());
    WavInput in;
    in.vf_ = std::make_unique<VirtualFile>(std::move(*file), *length);

    auto chunks = read_chunks(*in.vf_);
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

    in.vf_->show(canonical_header(*chunks), chunks->data_offset, chunks->data_size);
    SF_VIRTUAL_IO vio{vio_length, vio_seek, vio_read, vio_write, vio_tell};
    SF_INFO info{};
    in.snd_.reset(sf_open_virtual(&vio, SFM_READ, &info, in.vf_.get()));
    if (!in.snd_) {
      if (in.vf_->error()) return std::unexpected(*in.vf_->error());
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

    in.spec_ = spec;
    // libsndfile left-justifies integer samples in 32 bits.
    in.shift_ = 32 - static_cast<int>(bits);
    return in;
  }

  const AudioFormat& spec() const { return spec_; }

  // Samples per read call: whole frames, about 64 KiB.
  std::size_t block_samples() const {
    const std::size_t frames = std::max<std::size_t>(1, 16384 / spec_.channels);
    return frames * spec_.channels;
  }

  // Reads whole frames of integer samples at the declared depth; 0 at the end.
  std::expected<std::size_t, Error> read_ints(std::span<std::int32_t> out) {
    const sf_count_t frames = sf_readf_int(snd_.get(), out.data(), frames_for(out.size()));
    if (auto e = read_error(frames); e) return std::unexpected(*e);
    const std::size_t n = static_cast<std::size_t>(frames) * spec_.channels;
    for (std::size_t i = 0; i < n; ++i) out[i] >>= shift_;
    return n;
  }

  // Reads whole frames of float samples, unchanged; 0 at the end.
  std::expected<std::size_t, Error> read_floats(std::span<float> out) {
    const sf_count_t frames = sf_readf_float(snd_.get(), out.data(), frames_for(out.size()));
    if (auto e = read_error(frames); e) return std::unexpected(*e);
    return static_cast<std::size_t>(frames) * spec_.channels;
  }

  std::expected<void, Error> rewind() {
    if (sf_seek(snd_.get(), 0, SEEK_SET) != 0) {
      if (vf_->error()) return std::unexpected(*vf_->error());
      return std::unexpected(ill_formed(sf_strerror(snd_.get())));
    }
    return {};
  }

  void close() {
    snd_.reset();
    vf_.reset();
  }

 private:
  WavInput() = default;

  sf_count_t frames_for(std::size_t samples) const {
    return static_cast<sf_count_t>(samples / spec_.channels);
  }

  std::optional<Error> read_error(sf_count_t frames) const {
    if (vf_->error()) return *vf_->error();
    if (frames <= 0 && sf_error(snd_.get()) != SF_ERR_NO_ERROR)
      return ill_formed(sf_strerror(snd_.get()));
    return std::nullopt;
  }

  std::unique_ptr<VirtualFile> vf_;
  std::unique_ptr<SNDFILE, SndClose> snd_;  // closed before vf_, which it reads
  AudioFormat spec_;
  int shift_ = 0;
};

// Full scale of an integer file; 32-bit files use 2^31 so that the most
// negative sample is exactly −1.0.
float full_scale(unsigned bits) {
  switch (bits) {
    case 8:
      return 127.0f;
    case 16:
      return 32767.0f;
    case 24:
      return 8388607.0f;
    default:
      return 2147483648.0f;
  }
}

struct PeakScan {
  float peak = 0.0f;
  std::optional<Error> error;  // a read error ended the scan early
};

// The loudest sample as a fraction of full scale. NaN and infinite float
// samples are left out: an infinite peak would scale every finite sample to 0.
PeakScan scan_peak(WavInput& in) {
  PeakScan scan;
  const AudioFormat& spec = in.spec();
  if (spec.is_float) {
    std::vector<float> block(in.block_samples());
    for (;;) {
      auto n = in.read_floats(block);
      if (!n) {
        scan.error = n.error();
        break;
      }
      if (*n == 0) break;
      for (std::size_t i = 0; i < *n; ++i) {
        const float a = std::fabs(block[i]);
        if (std::isfinite(a) && a > scan.peak) scan.peak = a;
      }
    }
    return scan;
  }
  // |s| / F grows with |s|, so the largest magnitude gives the peak.
  std::vector<std::int32_t> block(in.block_samples());
  std::int64_t loudest = 0;
  for (;;) {
    auto n = in.read_ints(block);
    if (!n) {
      scan.error = n.error();
      break;
    }
    if (*n == 0) break;
    for (std::size_t i = 0; i < *n; ++i) {
      const std::int64_t s = block[i];
      loudest = std::max(loudest, s < 0 ? -s : s);
    }
  }
  scan.peak = static_cast<float>(loudest) / full_scale(spec.bits_per_sample);
  return scan;
}

// y truncated toward zero; values from 2^31 up saturate, NaN becomes 0.
std::int32_t to_sample(float y) {
  if (std::isnan(y)) return 0;
  if (y > 2147483520.0f) return std::numeric_limits<std::int32_t>::max();
  if (y < -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(y);
}

std::expected<void, Error> write_scaled(WavInput& in, WavWriter& out, float gain) {
  if (in.spec().is_float) {
    std::vector<float> block(in.block_samples());
    for (;;) {
      auto n = in.read_floats(block);
      if (!n) return std::unexpected(n.error());
      if (*n == 0) return {};
      for (std::size_t i = 0; i < *n; ++i) block[i] = std::clamp(block[i] * gain, -1.0f, 1.0f);
      if (auto r = out.write_floats(std::span(block).first(*n)); !r) return r;
    }
  }
  const float full = full_scale(in.spec().bits_per_sample);
  std::vector<std::int32_t> block(in.block_samples());
  for (;;) {
    auto n = in.read_ints(block);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return {};
    for (std::size_t i = 0; i < *n; ++i) {
      const float x = std::clamp(static_cast<float>(block[i]) / full * gain, -1.0f, 1.0f);
      block[i] = to_sample(x * full);
    }
    if (auto r = out.write_ints(std::span(block).first(*n)); !r) return r;
  }
}

std::filesystem::path temp_path_for(std::filesystem::path path) {
  path.replace_extension("wav.tmp");
  return path;
}

void discard(WavWriter& writer, const std::filesystem::path& temp) {
  writer.close();
  std::error_code ignored;
  std::filesystem::remove(temp, ignored);
}

}  // namespace

std::expected<bool, Error> normalize_file(const std::filesystem::path& path) {
  auto in = WavInput::open(path);
  if (!in) return std::unexpected(in.error());

  const PeakScan scan = scan_peak(*in);
  if (scan.error) return std::unexpected(*scan.error);
  if (scan.peak < SILENCE_THRESHOLD || std::fabs(1.0f - scan.peak) < PEAK_TOLERANCE) return false;
  const float gain = 1.0f / scan.peak;

  if (auto r = in->rewind(); !r) return std::unexpected(r.error());
  const std::filesystem::path temp = temp_path_for(path);
  auto out = WavWriter::create(temp, in->spec());
  if (!out) return std::unexpected(out.error());

  auto done = write_scaled(*in, *out, gain);
  if (done) done = out->finalize();
  in->close();
  if (done) done = rename_replace(temp, path);
  if (!done) {
    discard(*out, temp);
    return std::unexpected(done.error());
  }
  return true;
}

std::optional<float> wav_peak(const std::filesystem::path& path) {
  auto in = WavInput::open(path);
  if (!in) return std::nullopt;
  return scan_peak(*in).peak;
}

}  // namespace quillbox
