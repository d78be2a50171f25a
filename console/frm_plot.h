// frm_Plot, a live plot of the instrument's readings against the seconds
// since the plot was opened, one labelled line per reply channel: the
// interrogative channel's answers (MEAS? readings) and the number that ends
// each line of formatted output (FMT, streams). It only takes numbers while
// it is open, and keeps the newest kMaxPoints of each.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <optional>

class QChart;
class QChartView;
class QLineSeries;
class QValueAxis;

class Frm_Plot : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMaxPoints = 2000;

  explicit Frm_Plot(QWidget *parent = nullptr);
  ~Frm_Plot() override;

  enum Source { Interrogative = 0, Formatted = 1 };
  // Plots the reading of each line of `text` (the last number in the line)
  // on the line of `source`.
  void Add_Text(Source source, const QString &text);
  void Add_Value(Source source, double value);
  // The reading a line carries: its last number, if it has one.
  static std::optional<double> Reading(const QString &line);

  QLineSeries *Series(Source source) const { return series_[source]; }

 signals:
  void Closed();

 protected:
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;

 private:
  QChart *chart_ = nullptr;
  QChartView *view_ = nullptr;
  QLineSeries *series_[2] = {};
  QValueAxis *time_axis_ = nullptr;
  QValueAxis *value_axis_ = nullptr;
  QElapsedTimer clock_;
  QString partial_[2];  // per source, a line still waiting for its end
};
