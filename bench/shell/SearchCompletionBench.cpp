// From a keystroke in the search field to the completion list holding the reply for the new
// text, against the local service in-process: the completion request, the service's answer, the
// reply's way back to the main queue and the list's reload. 200 keystrokes, each a one-letter
// text typed into an emptied field (the letter changes every time, so every reply is new);
// reports the median and the 99th percentile in milliseconds.
#include "app/qt/MainQueue.h"
#include "app/service/Action.h"
#include "app/service/IconList/IconStore.h"
#include "app/service/ServiceConfig.h"
#include "app/service/TDOAuth.h"
#include "app/shell/AutocompleteViewController.h"
#include "app/shell/ContentBox.h"
#include "app/shell/SearchBarViewController.h"
#include "app/shell/SearchCompletions.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <unistd.h>

using namespace Vexelworks;

namespace {

// The search window's part in the road from keystroke to list.
class SearchWindow : public SearchBarViewControllerDelegate, public AutocompleteDelegate {
 public:
  SearchWindow() {
    registerSearchBarInterface();
    registerAutocompleteInterface();
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(bar.view());
    contentBox = new ContentBox(&window);
    layout->addWidget(contentBox, 1);
    grid = new QLabel(QStringLiteral("grid"));
    contentBox->setContentView(grid);
    bar.delegate = this;
    list.delegate = this;
    window.resize(520, 320);
    window.show();
  }
  ~SearchWindow() override {
    contentBox->setContentView(nullptr);
    delete grid;
  }
  void showIconGrid() override { contentBox->setContentView(grid); }
  void searchFromField() override {}
  void search(const std::string&) override {}
  void showFreeIcons(QObject*) override {}
  ContentBox* box() override { return contentBox; }
  AutocompleteViewController* autocompleteViewController() override { return &list; }
  SearchBarViewController* searchBarViewController() override { return &bar; }

  QWidget window;
  SearchBarViewController bar;
  AutocompleteViewController list;
  ContentBox* contentBox = nullptr;
  QLabel* grid = nullptr;
};

void typeCharacter(QWidget* field, QChar c) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
  QApplication::sendEvent(field, &press);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
  QApplication::sendEvent(field, &release);
}

double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  // NOLINTNEXTLINE(bugprone-incorrect-roundings): never negative, so + 0.5 rounds to nearest
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(index, samples.size() - 1)];
}

void BM_KeystrokeToCompletionList(benchmark::State& state) {
  vx::devservice::DevService service;
  if (!service.start().ok()) {
    state.SkipWithError("the local service did not start");
    return;
  }
  const auto base = vx::URL::parse(service.baseURL());
  setAPIBaseURL(*base);
  TDOAuth::setUtcTimeOffset(0);
  auto store = IconStore::make(APIClient::make(
      *base, AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)}));
  // The process-wide list keeps its handlers; this program registers one.
  actionHandlers().append([store](const Action& action) { store->handle(action); });
  SearchWindow search;
  std::string applied;
  store->addHandler([&](const IconStoreChange& change) {
    const auto& reply = std::get<IconStoreChanges::LoadedCompletions>(change);
    if (applyLoadedCompletions(reply, search.bar, search.list)) applied = reply.query;
  });

  // Letters that begin some icon's name in the sample catalogue.
  const QString letters = QStringLiteral("abcdfghklmps");
  std::vector<double> samples;
  std::size_t next = 0;
  for (auto _ : state) {
    search.bar.searchField->setText(QString());  // by code: asks for nothing
    const QChar letter = letters[static_cast<int>(next++ % static_cast<std::size_t>(letters.size()))];
    const std::string expected(1, static_cast<char>(letter.toLatin1()));
    applied.clear();
    QElapsedTimer timer;
    timer.start();
    typeCharacter(search.bar.searchField, letter);
    while (applied != expected && timer.elapsed() < 10000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    QCoreApplication::processEvents();  // the list's repaint
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (applied != expected) {
      state.SkipWithError("a completion reply did not arrive");
      break;
    }
    state.SetIterationTime(seconds);
    samples.push_back(seconds * 1000);
  }
  state.counters["median_ms"] = percentile(samples, 0.5);
  state.counters["p99_ms"] = percentile(samples, 0.99);
  state.counters["keystrokes"] = static_cast<double>(samples.size());
  setAPIBaseURL(std::nullopt);
}
BENCHMARK(BM_KeystrokeToCompletionList)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Settings and caches of this run go to a folder of its own.
  std::string home = (std::filesystem::temp_directory_path() / "vx-bench-XXXXXX").string();
  if (mkdtemp(home.data()) != nullptr) {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) setenv(name, home.c_str(), 1);
  }
  int result = 0;
  {
    QApplication application(argc, argv);
    vx::QtMainQueue mainQueue;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return result;
}
