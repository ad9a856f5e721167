#pragma once

// The window's live level meters: one bar per source that is on, on a
// decibel scale, with a clipping mark once the source has reached full
// scale during the recording.

#include <QWidget>

#include <string>
#include <vector>

#include "flows/source_peaks.h"

class QGridLayout;

namespace quillbox {

// The part of the bar a peak fills: -60 dBFS and below is empty, full scale is full.
float meter_fill(float peak);

// A sample at or above this level is full scale: the loudest 16-bit sample
// reads 32767 / 32768.
inline constexpr float CLIP_LEVEL = 32767.0f / 32768.0f;

class LevelMeter final : public QWidget {
 public:
  explicit LevelMeter(QWidget* parent = nullptr);

  // A new reading; a full-scale one sets the clipping mark, which stays.
  void show_peak(float peak);
  float fill() const { return fill_; }
  bool clipped() const { return clipped_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  float fill_ = 0.0f;
  bool clipped_ = false;
};

// The meters of a recording, in a grid of labels (`source_name`) and bars. A
// source switched on gets its row; one switched off loses it; a clipping
// mark lasts as long as the source's row.
class MeterPanel final : public QWidget {
 public:
  explicit MeterPanel(QWidget* parent = nullptr);

  void show_peaks(const std::vector<SourcePeak>& peaks);
  // Drops every row (the recording ended).
  void clear();

 private:
  struct Row {
    SourceKey key;
    QWidget* label = nullptr;
    LevelMeter* meter = nullptr;
  };
  void rebuild(const std::vector<SourcePeak>& peaks);

  QGridLayout* grid_ = nullptr;
  std::vector<Row> rows_;
};

}  // namespace quillbox
