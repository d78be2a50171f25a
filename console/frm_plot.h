// frm_Plot, a live plot of the instrument's readings: the numbers that come
// on the reply channels (a MEAS? answer, the reading that ends each line of
// formatted output) against the seconds since the plot was opened. It only
// takes numbers while it is open, and keeps the newest kMaxPoints.
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

  // Plots the reading of each line of `text` (the last number in the line).
  void Add_Text(const QString &text);
  void Add_Value(double value);
  // The reading a line carries: its last number, if it has one.
  static std::optional<double> Reading(const QString &line);

  QLineSeries *Series() const { return series_; }

 signals:
  void Closed();

 protected:
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;

 private:
  QChart *chart_ = nullptr;
  QChartView *view_ = nullptr;
  QLineSeries *series_ = nullptr;
  QValueAxis *time_axis_ = nullptr;
  QValueAxis *value_axis_ = nullptr;
  QElapsedTimer clock_;
  QString partial_;  // a line still waiting for its end
};
