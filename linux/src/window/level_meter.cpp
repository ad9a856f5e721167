#include "window/level_meter.h"

#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace quillbox {
namespace {

constexpr float FLOOR_DB = -60.0f;

bool same_sources(const std::vector<SourcePeak>& peaks, const auto& rows) {
  return std::ranges::equal(peaks, rows,
                            [](const SourcePeak& p, const auto& row) { return p.key == row.key; });
}

}  // namespace

float meter_fill(float peak) {
  if (!(peak > 0.0f)) return 0.0f;  // also NaN
  const float db = 20.0f * std::log10(peak);
  return std::clamp((db - FLOOR_DB) / -FLOOR_DB, 0.0f, 1.0f);
}

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LevelMeter::show_peak(float peak) {
  const float fill = meter_fill(peak);
  const bool clipped = clipped_ || peak >= CLIP_LEVEL;
  if (fill == fill_ && clipped == clipped_) return;
  fill_ = fill;
  if (clipped && !clipped_) setAccessibleDescription("clipped");
  clipped_ = clipped;
  update();
}

QSize LevelMeter::sizeHint() const {
  return {fontMetrics().averageCharWidth() * 30, fontMetrics().height() * 2 / 3};
}

void LevelMeter::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect frame = rect().adjusted(0, 0, -1, -1);
  // The clipping mark: the bar's last part, red once full scale was reached.
  const int mark = std::max(4, width() / 25);
  const QRect bar = frame.adjusted(1, 1, -mark - 2, 0);
  p.fillRect(frame, palette().color(QPalette::Base));
  const int filled = static_cast<int>(std::lround(fill_ * static_cast<float>(bar.width())));
  p.fillRect(QRect(bar.left(), bar.top(), filled, bar.height()),
             fill_ > meter_fill(0.5f) ? QColor(230, 170, 0) : QColor(40, 170, 60));
  p.fillRect(QRect(bar.right() + 2, bar.top(), mark, bar.height()),
             clipped_ ? QColor(220, 30, 30) : palette().color(QPalette::Mid));
  p.setPen(palette().color(QPalette::Dark));
  p.drawRect(frame);
}

MeterPanel::MeterPanel(QWidget* parent) : QWidget(parent), grid_(new QGridLayout(this)) {
  grid_->setContentsMargins(0, 0, 0, 0);
  grid_->setColumnStretch(1, 1);
}

void MeterPanel::show_peaks(const std::vector<SourcePeak>& peaks) {
  if (!same_sources(peaks, rows_)) rebuild(peaks);
  for (std::size_t i = 0; i < peaks.size(); ++i) rows_[i].meter->show_peak(peaks[i].peak);
}

void MeterPanel::clear() {
  rebuild({});
}

void MeterPanel::rebuild(const std::vector<SourcePeak>& peaks) {
  std::vector<Row> kept;
  for (const SourcePeak& peak : peaks) {
    const auto old = std::ranges::find_if(rows_, [&](const Row& r) { return r.key == peak.key; });
    if (old != rows_.end()) {
      kept.push_back(*old);
      rows_.erase(old);
      continue;
    }
    const QString name = QString::fromStdString(source_name(peak.key));
    auto* label = new QLabel(name, this);
    auto* meter = new LevelMeter(this);
    meter->setAccessibleName(name + " level");
    kept.push_back({peak.key, label, meter});
  }
  for (Row& gone : rows_) {
    delete gone.label;
    delete gone.meter;
  }
  rows_ = std::move(kept);
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    grid_->addWidget(rows_[i].label, static_cast<int>(i), 0);
    grid_->addWidget(rows_[i].meter, static_cast<int>(i), 1);
  }
}

}  // namespace quillbox
