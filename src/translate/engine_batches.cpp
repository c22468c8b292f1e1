#include "translate/engine_batches.h"

#include <algorithm>

#include "common/exception.h"

namespace tessarine::translate {

TEngineBatches::TEngineBatches(TSend send, std::chrono::milliseconds gathering)
    : m_send(std::move(send)), m_gathering(gathering) {}

TBatchAnswer TEngineBatches::Translate(const TOptionalEngine& engine, const std::u16string& langs_in,
                                       const std::u16string& langs_out, const std::u16string& text) {
  const TBatchLimits& limits = engine.Batch;
  const size_t cost = limits.Cost ? limits.Cost(text) : 0;
  std::unique_lock lock(m_mutex);
  size_t position = 0;
  if (const std::shared_ptr<TBatch> joined = joinLocked(engine, langs_in, langs_out, text, cost, position)) {
    m_changed.wait(lock, [&joined] { return joined->Done; });
    return answerOf(*joined, position, false);
  }

  auto batch = std::make_shared<TBatch>();
  batch->Engine = engine.Index;
  batch->LangsIn = langs_in;
  batch->LangsOut = langs_out;
  batch->Texts = {text};
  batch->Cost = cost;
  batch->Full = limits.MaxTexts <= 1 || (limits.MaxCost != 0 && cost >= limits.MaxCost);
  const TPair pair{engine.Index, {langs_in, langs_out}};
  const auto arrived = std::chrono::steady_clock::now();
  // Alone it goes at once; behind a running call of its pair, the requests of a burst are on their way.
  const auto found = m_runningPairs.find(pair);
  batch->Due = found != m_runningPairs.end() && !batch->Full ? arrived + m_gathering : arrived;
  m_waiting.push_back(batch);

  const size_t bound = std::max<size_t>(engine.CallsAtOnce, 1);
  while (true) {
    const auto now = std::chrono::steady_clock::now();
    const bool ready = batch->Full || now >= batch->Due;
    if (ready && m_running[engine.Index] < bound && firstReadyLocked(*batch, now)) break;
    if (ready) {
      m_changed.wait(lock);
    } else {
      m_changed.wait_until(lock, batch->Due);
    }
  }
  m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), batch));
  ++m_running[engine.Index];
  ++m_runningPairs[pair];
  // A younger call of the engine may be ready behind this one, and a slot may be left for it.
  m_changed.notify_all();
  lock.unlock();

  // Off the waiting list nothing touches the texts but this call.
  m_send(engine.Index, langs_in, langs_out, batch->Texts, batch->Call);

  lock.lock();
  --m_running[engine.Index];
  if (--m_runningPairs[pair] == 0) m_runningPairs.erase(pair);
  batch->Done = true;
  m_changed.notify_all();
  return answerOf(*batch, 0, true);
}

size_t TEngineBatches::Running() const {
  std::lock_guard lock(m_mutex);
  size_t running = 0;
  for (const auto& [engine, calls] : m_running) running += calls;
  return running;
}

size_t TEngineBatches::Waiting() const {
  std::lock_guard lock(m_mutex);
  size_t waiting = 0;
  for (const std::shared_ptr<TBatch>& batch : m_waiting) waiting += batch->Requests;
  return waiting;
}

std::shared_ptr<TEngineBatches::TBatch> TEngineBatches::joinLocked(const TOptionalEngine& engine,
                                                                   const std::u16string& langs_in,
                                                                   const std::u16string& langs_out,
                                                                   const std::u16string& text, size_t cost,
                                                                   size_t& position) {
  const TBatchLimits& limits = engine.Batch;
  for (const std::shared_ptr<TBatch>& batch : m_waiting) {
    if (batch->Engine != engine.Index || batch->LangsIn != langs_in || batch->LangsOut != langs_out) continue;
    const auto same = std::find(batch->Texts.begin(), batch->Texts.end(), text);
    if (same != batch->Texts.end()) {
      position = static_cast<size_t>(same - batch->Texts.begin());
      ++batch->Requests;
      return batch;
    }
    if (batch->Full) continue;
    if (batch->Texts.size() >= limits.MaxTexts || (limits.MaxCost != 0 && batch->Cost + cost > limits.MaxCost)) {
      // It cannot grow by this text: it goes as it is instead of gathering on.
      batch->Full = true;
      m_changed.notify_all();
      continue;
    }
    batch->Texts.push_back(text);
    batch->Cost += cost;
    ++batch->Requests;
    position = batch->Texts.size() - 1;
    if (batch->Texts.size() >= limits.MaxTexts) {
      batch->Full = true;
      m_changed.notify_all();
    }
    return batch;
  }
  return nullptr;
}

bool TEngineBatches::firstReadyLocked(const TBatch& batch, std::chrono::steady_clock::time_point now) const {
  for (const std::shared_ptr<TBatch>& other : m_waiting) {
    if (other.get() == &batch) return true;
    if (other->Engine == batch.Engine && (other->Full || now >= other->Due)) return false;
  }
  return true;
}

TBatchAnswer TEngineBatches::answerOf(const TBatch& batch, size_t position, bool opened) {
  TBatchAnswer answer;
  answer.Opened = opened;
  answer.RetryAfter = batch.Call.RetryAfter;
  answer.Failure = batch.Call.Failure;
  if (answer.Failure) return answer;
  if (position < batch.Call.TextFailures.size() && batch.Call.TextFailures[position]) {
    answer.Failure = batch.Call.TextFailures[position];
    return answer;
  }
  if (position >= batch.Call.Results.size()) {
    answer.Failure = std::make_exception_ptr(Exception("The engine's call gave no translation for this text"));
    return answer;
  }
  answer.Result = batch.Call.Results[position];
  answer.FromCache = position < batch.Call.FromCache.size() && batch.Call.FromCache[position];
  return answer;
}

}  // namespace tessarine::translate
