#include "window/window_controls.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <vector>

#include "engine/record_mode.h"
#include "flows/app_state.h"
#include "flows/device_list_model.h"

namespace quillbox {
namespace {

// A control named to the services and to screen readers by its text
// without the mnemonic mark.
template <class W>
W* named(W* widget, QtUi& ui, Control control, const QString& name) {
  widget->setAccessibleName(name);
  ui.set_control(control, widget);
  return widget;
}

QLabel* wrapped(const char* text, QWidget& parent) {
  auto* label = new QLabel(QString::fromUtf8(text), &parent);
  label->setWordWrap(true);
  return label;
}

}  // namespace

WindowControls create_controls(QWidget& window, QtUi& ui, const StartRequest& d,
                               std::size_t device_count, bool has_mic) {
  WindowControls w;
  std::vector<QWidget*> tab_order;
  const auto tab = [&](auto* widget) {
    tab_order.push_back(widget);
    return widget;
  };

  w.start_button = tab(named(new QPushButton("&Start Recording", &window), ui, Control::StartButton,
                             "Start Recording"));
  w.start_button->setDefault(true);
  QWidget* mic = nullptr;
  if (has_mic)
    mic = tab(named(new QCheckBox("Record &microphone", &window), ui, Control::MicBox,
                    "Record microphone"));
  else
    mic = new QLabel("No microphone found", &window);
  auto* system = tab(named(new QCheckBox("Record &system audio", &window), ui, Control::SystemBox,
                           "Record system audio"));

  auto* single =
      tab(named(new QRadioButton("Single file", &window), ui, Control::SingleRadio, "Single file"));
  auto* silence = tab(named(new QRadioButton("Stems (silence)", &window), ui, Control::SilenceRadio,
                            "Stems (silence)"));
  auto* instructed = tab(named(new QRadioButton("Stems (instructed)", &window), ui,
                               Control::InstructedRadio, "Stems (instructed)"));
  auto* modes = new QButtonGroup(&window);
  for (QRadioButton* radio : {single, silence, instructed}) modes->addButton(radio);

  auto* quality_label = new QLabel("Quality:", &window);
  auto* quality = tab(named(new QComboBox(&window), ui, Control::QualityCombo, "Quality"));
  for (const FormatPreset& preset : FORMAT_PRESETS)
    quality->addItem(
        QString::fromUtf8(preset.label.data(), static_cast<qsizetype>(preset.label.size())));
  quality->setCurrentIndex(static_cast<int>(preset_index(d.format)));
  quality_label->setBuddy(quality);

  auto* devices_label = new QLabel("Other devices:", &window);
  w.device_list = tab(named(new QListWidget(&window), ui, Control::DeviceList, "Other devices"));
  devices_label->setBuddy(w.device_list);
  const int rows = static_cast<int>(list_rows(device_count));
  // Sized once for the entries there are, as the Win32 window does.
  w.device_list->setFixedHeight((w.device_list->fontMetrics().height() + 4) * rows +
                                2 * w.device_list->frameWidth() + 4);

  auto* folder_label = new QLabel("Output folder:", &window);
  auto* folder = tab(named(new QLineEdit(QString::fromStdString(d.output_dir), &window), ui,
                           Control::FolderEdit, "Output folder"));
  folder_label->setBuddy(folder);
  auto* ask = tab(named(new QCheckBox("Ask where to save after recording", &window), ui,
                        Control::AskSaveBox, "Ask where to save after recording"));
  auto* repair = tab(named(new QPushButton("Repair incomplete recordings", &window), ui,
                           Control::RepairButton, "Repair incomplete recordings"));
  auto* normalize = tab(named(new QPushButton("Normalize WAV file...", &window), ui,
                              Control::NormalizeButton, "Normalize WAV file"));
  // Only the Start button answers Enter when another control has the focus.
  for (QPushButton* button : {w.start_button, repair, normalize}) button->setAutoDefault(false);

  auto* status = named(new QLabel("Ready.", &window), ui, Control::StatusLabel, "Status");
  status->setWordWrap(true);
  status->setTextFormat(Qt::PlainText);
  status->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* duration = named(new QLabel(&window), ui, Control::DurationLabel, "Duration");
  w.meters = new MeterPanel(&window);
  w.meters->setAccessibleName("Levels");

  // Layout: the Start column beside the status, duration and meters; the
  // modes with their descriptions; then one row per remaining control.
  auto* root = new QVBoxLayout(&window);
  root->setSizeConstraint(QLayout::SetFixedSize);
  auto* top = new QHBoxLayout;
  auto* left = new QVBoxLayout;
  left->addWidget(w.start_button, 0, Qt::AlignLeft);
  left->addWidget(mic);
  left->addWidget(system);
  left->addStretch(1);
  auto* right = new QVBoxLayout;
  right->addWidget(status);
  right->addWidget(duration);
  right->addWidget(w.meters);
  right->addStretch(1);
  top->addLayout(left);
  top->addLayout(right, 1);
  root->addLayout(top);

  auto* mode_grid = new QGridLayout;
  mode_grid->addWidget(single, 0, 0, Qt::AlignTop);
  mode_grid->addWidget(wrapped("Mix all sources into one recording file.", window), 0, 1);
  mode_grid->addWidget(silence, 1, 0, Qt::AlignTop);
  mode_grid->addWidget(wrapped("Record each source separately; insert silence while disabled so "
                               "files stay aligned.",
                               window),
                       1, 1);
  mode_grid->addWidget(instructed, 2, 0, Qt::AlignTop);
  mode_grid->addWidget(wrapped("Record active segments separately and provide sample-accurate "
                               "editor offsets.",
                               window),
                       2, 1);
  mode_grid->setColumnStretch(1, 1);
  root->addLayout(mode_grid);

  auto* quality_row = new QHBoxLayout;
  quality_row->addWidget(quality_label);
  quality_row->addWidget(quality, 1);
  root->addLayout(quality_row);
  root->addWidget(devices_label);
  root->addWidget(w.device_list);
  auto* folder_row = new QHBoxLayout;
  folder_row->addWidget(folder_label);
  folder_row->addWidget(folder, 1);
  root->addLayout(folder_row);
  root->addWidget(ask);
  auto* tools = new QHBoxLayout;
  tools->addWidget(repair, 1);
  tools->addWidget(normalize, 1);
  root->addLayout(tools);

  // About the Win32 window's width, at the desktop's font.
  w.device_list->setMinimumWidth(w.device_list->fontMetrics().averageCharWidth() * 90);
  for (std::size_t i = 1; i < tab_order.size(); ++i)
    QWidget::setTabOrder(tab_order[i - 1], tab_order[i]);

  tick_start_values(ui, d);
  return w;
}

}  // namespace quillbox
