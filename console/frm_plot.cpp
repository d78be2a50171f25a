#include "frm_plot.h"

#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QLineSeries>
#include <QRegularExpression>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

Frm_Plot::Frm_Plot(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("frm_Plot"));
  setWindowTitle(QStringLiteral("Tavrin - Readings"));
  chart_ = new QChart;
  const char *names[] = {"Interrogative (MEAS? readings)", "Formatted lines (last number)"};
  for (int i = 0; i < 2; ++i) {
    series_[i] = new QLineSeries;
    series_[i]->setName(QString::fromLatin1(names[i]));
    chart_->addSeries(series_[i]);
  }
  chart_->legend()->setAlignment(Qt::AlignBottom);
  time_axis_ = new QValueAxis;
  time_axis_->setTitleText(QStringLiteral("Seconds"));
  value_axis_ = new QValueAxis;
  value_axis_->setTitleText(QStringLiteral("Reading"));
  chart_->addAxis(time_axis_, Qt::AlignBottom);
  chart_->addAxis(value_axis_, Qt::AlignLeft);
  for (QLineSeries *series : series_) {
    series->attachAxis(time_axis_);
    series->attachAxis(value_axis_);
  }
  view_ = new QChartView(chart_, this);  // the view owns the chart, the chart its series and axes
  view_->setObjectName(QStringLiteral("Chart_View"));
  auto *column = new QVBoxLayout(this);
  column->addWidget(view_);
  resize(560, 360);
}

Frm_Plot::~Frm_Plot() = default;

std::optional<double> Frm_Plot::Reading(const QString &line) {
  static const QRegularExpression number(QStringLiteral(R"([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)"));
  std::optional<double> last;
  for (auto match = number.globalMatch(line); match.hasNext();) {
    bool ok = false;
    const double value = match.next().captured().toDouble(&ok);
    if (ok && std::isfinite(value)) last = value;
  }
  return last;
}

void Frm_Plot::Add_Text(Source source, const QString &text) {
  // Readings come a line at a time; a read may end inside a line.
  QString &partial = partial_[source];
  partial += text;
  qsizetype end;
  while ((end = partial.indexOf(QLatin1Char('\n'))) >= 0) {
    if (const auto value = Reading(partial.left(end))) Add_Value(source, *value);
    partial.remove(0, end + 1);
  }
  if (partial.size() > 4096) partial.clear();  // no line end in sight: not a reading
}

void Frm_Plot::Add_Value(Source source, double value) {
  if (!clock_.isValid()) clock_.start();
  const double seconds = clock_.elapsed() / 1000.0;
  QLineSeries *series = series_[source];
  series->append(seconds, value);
  if (series->count() > kMaxPoints) series->removePoints(0, series->count() - kMaxPoints);
  // Both lines in view.
  QList<QPointF> points;
  for (const QLineSeries *each : series_) points += each->points();
  const auto [low, high] = std::minmax_element(points.begin(), points.end(),
                                               [](const QPointF &a, const QPointF &b) { return a.y() < b.y(); });
  const auto earliest = std::min_element(points.begin(), points.end(),
                                         [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
  const double margin = std::max(1e-9, (high->y() - low->y()) * 0.05);
  value_axis_->setRange(low->y() - margin, high->y() + margin);
  time_axis_->setRange(earliest->x(), std::max(earliest->x() + 1.0, seconds));
}

void Frm_Plot::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (!clock_.isValid()) clock_.start();
}

void Frm_Plot::closeEvent(QCloseEvent *event) {
  QWidget::closeEvent(event);
  emit Closed();
}
