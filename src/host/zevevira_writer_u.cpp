#include "host/zevevira_writer_u.h"

#include <sys/resource.h>
#include <unistd.h>

#include <exception>
#include <future>
#include <utility>

#include "common/Exceptions.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"

namespace vx {

namespace {

constexpr std::string_view LogCategory = "SERVER";

void LogNotSaved(const std::string& reason) {
  LogFmt(LMTERROR, LMDALL, LogCategory, "database not saved: %1", {reason});
}

// The host's edge log line for what a completion or an undo raised.
void LogRaised(std::string_view operation, const std::exception& e) {
  Log(LMTERROR, LMDALL, LogCategory,
      std::string(operation) + " Exception: " + ExceptionClassName(e));
}

}  // namespace

TZeveViraWriter::TZeveViraWriter(TZeveVira& database) : Database(database) {}

TZeveViraWriter::~TZeveViraWriter() {
  Stop();
}

void TZeveViraWriter::Start() {
  TLockGuard queue(QueueLock);
  if (Active || Thread.joinable()) return;
  Active = true;
  Stopping = false;
  Thread = std::thread([this] { Execute(); });
}

void TZeveViraWriter::Stop() {
  {
    TLockGuard queue(QueueLock);
    if (!Thread.joinable()) return;
    Stopping = true;
  }
  Wake.notify_all();
  if (Thread.get_id() == std::this_thread::get_id()) return;  // a completion cannot wait for itself
  Thread.join();
  TLockGuard queue(QueueLock);
  Stopping = false;
}

bool TZeveViraWriter::Running() const {
  TLockGuard queue(QueueLock);
  return Active;
}

void TZeveViraWriter::Submit(TSaveDone done, TSaveUndo undo) {
  TLockGuard database(Database.Mutex());
  {
    TLockGuard queue(QueueLock);
    if (Active) {
      Queue.push_back({std::move(done), std::move(undo)});
      ++Submitted;
      Wake.notify_one();
      return;
    }
  }
  // No thread: the save happens here, still in the hold of the lock that
  // made the change.
  TSaveResult result;
  try {
    result = Save();
  } catch (...) {
    if (undo) undo();
    throw;
  }
  if (!result.Saved && undo) undo();
  if (done) done(result);
}

void TZeveViraWriter::Post(std::function<void()> task) {
  {
    TLockGuard queue(QueueLock);
    if (Active) {
      Tasks.push_back(std::move(task));
      ++Posted;
      Wake.notify_one();
      return;
    }
  }
  std::vector<std::function<void()>> tasks;
  tasks.push_back(std::move(task));
  RunTasks(tasks);
}

void TZeveViraWriter::RunTasks(std::vector<std::function<void()>>& tasks) {
  for (auto& task : tasks) {
    try {
      task();
    } catch (const std::exception& e) {
      LogRaised("TZeveViraWriter.Post", e);
    }
  }
}

TSaveResult TZeveViraWriter::Commit(TSaveUndo undo) {
  std::promise<TSaveResult> outcome;
  std::future<TSaveResult> result = outcome.get_future();
  Submit([&outcome](const TSaveResult& saved) { outcome.set_value(saved); }, std::move(undo));
  return result.get();
}

void TZeveViraWriter::Sync() {
  TMutexLock queue(QueueLock);
  // The tasks first: the saves they hand over count too.
  const uint64_t tasks = Posted;
  while (TasksRun < tasks && Active) Idle.wait(queue.Native());
  const uint64_t target = Submitted;
  while (Completed < target && Active) Idle.wait(queue.Native());
}

TSaveResult TZeveViraWriter::Save() {
  TSaveResult result;
  TZeveVira::TImage image;
  result.Saved =
      Database.TakeImage(image, result.Reason) && Database.WriteImage(image, result.Reason);
  if (!result.Saved) LogNotSaved(result.Reason);
  return result;
}

void TZeveViraWriter::Undo(std::vector<TJob>& jobs) {
  for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
    if (!job->Undo) continue;
    try {
      job->Undo();
    } catch (const std::exception& e) {
      LogRaised("TZeveViraWriter.Undo", e);
    }
  }
}

void TZeveViraWriter::Complete(std::vector<TJob>& jobs, const TSaveResult& result) {
  for (TJob& job : jobs) {
    if (!job.Done) continue;
    try {
      job.Done(result);
    } catch (const std::exception& e) {
      LogRaised("TZeveViraWriter.Complete", e);
    }
  }
}

void TZeveViraWriter::Execute() {
  // Building an image takes milliseconds of processor time: on a machine
  // whose cores are busy, the threads that relay voice go first.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), WriterNice);
  for (;;) {
    {
      TMutexLock queue(QueueLock);
      while (Queue.empty() && Tasks.empty() && !Stopping) Wake.wait(queue.Native());
      if (Queue.empty() && Tasks.empty()) {
        // From here on saves are written by whoever hands them over.
        Active = false;
        Idle.notify_all();
        return;
      }
    }
    std::vector<std::function<void()>> tasks;
    {
      TLockGuard queue(QueueLock);
      tasks.swap(Tasks);
    }
    if (!tasks.empty()) {
      RunTasks(tasks);
      TLockGuard queue(QueueLock);
      TasksRun += tasks.size();
      Idle.notify_all();
      if (Queue.empty()) continue;
    }
    std::vector<TJob> batch;
    TSaveResult result;
    TZeveVira::TImage image;
    {
      // The image holds exactly the changes of the batch (and those made
      // without a save of their own).
      TLockGuard database(Database.Mutex());
      {
        TLockGuard queue(QueueLock);
        batch.swap(Queue);
      }
      try {
        result.Saved = Database.TakeImage(image, result.Reason);
      } catch (const std::exception& e) {  // raised by the database's error handler
        result = {false, "Exception: " + ExceptionClassName(e)};
      }
    }
    if (result.Saved) {
      try {
        result.Saved = Database.WriteImage(image, result.Reason);
      } catch (const std::exception& e) {
        result = {false, "Exception: " + ExceptionClassName(e)};
      }
    }
    if (!result.Saved) {
      LogNotSaved(result.Reason);
      // Every change still waiting goes back, newest first, so that the
      // tree holds what the file holds again.
      TLockGuard database(Database.Mutex());
      {
        TLockGuard queue(QueueLock);
        for (TJob& job : Queue) batch.push_back(std::move(job));
        Queue.clear();
      }
      Undo(batch);
    }
    Complete(batch, result);
    TLockGuard queue(QueueLock);
    Completed += batch.size();
    Idle.notify_all();
  }
}

}  // namespace vx
