// The main window's construction and first paint, against an empty widget of the same size
// built and painted in the same run (the baseline). Compare the two times as a ratio.
#include "shell/frmMain.h"

#include <QImage>
#include <QPainter>
#include <benchmark/benchmark.h>

namespace {

constexpr int kWidth = 1024, kHeight = 741;

void paintOnce(QWidget& w, QImage& target)
{
    QPainter p(&target);
    w.render(&p);
}

void BM_EmptyWidget(benchmark::State& state)
{
    QImage target(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        QWidget w;
        w.resize(kWidth, kHeight);
        paintOnce(w, target);
        benchmark::DoNotOptimize(target.constBits());
    }
}
BENCHMARK(BM_EmptyWidget)->Unit(benchmark::kMillisecond);

void BM_MainWindow(benchmark::State& state)
{
    QImage target(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        frmMain w;
        paintOnce(w, target);
        benchmark::DoNotOptimize(target.constBits());
    }
}
BENCHMARK(BM_MainWindow)->Unit(benchmark::kMillisecond);

// Construction alone, to tell building the controls from painting them.
void BM_MainWindowConstructionOnly(benchmark::State& state)
{
    for (auto _ : state) {
        frmMain w;
        benchmark::DoNotOptimize(&w);
    }
}
BENCHMARK(BM_MainWindowConstructionOnly)->Unit(benchmark::kMillisecond);

} // namespace
