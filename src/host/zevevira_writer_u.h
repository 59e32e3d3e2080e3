// The database's saves, on a thread of their own, so that no thread that
// serves players ever waits for the disk.
//
// A change is made in the tree under the database's lock and handed over,
// in the same hold of that lock, with what to do once it is on disk. The
// writer takes the image of the tree and the changes handed over so far in
// one hold of the lock, writes the file without holding it, and then tells
// each of those changes the outcome: changes handed over while a file is
// being written reach the disk together with the next one. A write that
// fails undoes every change still waiting, newest first, before they learn
// of the failure, so that the tree again holds what the file holds; the
// failure is logged with the system's reason.
//
// Lock order: the database's lock, then the writer's queue lock. The
// completions run on the writer's thread with neither held; they may take
// a server's player and channel locks. Sync must be called with none of
// those held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"

namespace vx {

class TZeveVira;

struct TSaveResult {
  bool Saved = false;
  std::string Reason;  // why the file could not be written
};

using TSaveDone = std::function<void(const TSaveResult& result)>;
using TSaveUndo = std::function<void()>;

class TZeveViraWriter {
 public:
  explicit TZeveViraWriter(TZeveVira& database);
  ~TZeveViraWriter();
  TZeveViraWriter(const TZeveViraWriter&) = delete;
  TZeveViraWriter& operator=(const TZeveViraWriter&) = delete;

  // Starts the thread. Until then, and after Stop, a save handed over is
  // written at once on the caller's thread.
  void Start();
  // Writes what was handed over, then ends the thread.
  void Stop();
  bool Running() const;

  // Hands over a save of the change just made in the tree; call it in the
  // same hold of the database's lock as the change. `done` learns the
  // outcome; `undo` reverts the change in the tree when it could not be
  // saved (it runs under the database's lock).
  void Submit(TSaveDone done, TSaveUndo undo = {});
  // Runs the task on the writer's thread, in the order tasks are posted and
  // before the next image is taken, so that a thread that serves players
  // never waits for the database's lock to change the tree: the task makes
  // the change and hands over its save. Without the thread it runs here.
  void Post(std::function<void()> task);
  // Hands over a save and waits for its outcome; not with the database's
  // lock held.
  TSaveResult Commit(TSaveUndo undo = {});
  // Returns once every task posted and every save handed over before has
  // been written and its `done` has run.
  void Sync();

 private:
  struct TJob {
    TSaveDone Done;
    TSaveUndo Undo;
  };

  // The writer thread's nice value (the players' threads keep 0).
  static constexpr int WriterNice = 10;
  void Execute();
  // Runs the tasks, logging what one raises.
  static void RunTasks(std::vector<std::function<void()>>& tasks);
  // Writes the tree as it is now (the caller holds the database's lock or
  // is the writer's thread), logging a failure.
  TSaveResult Save();
  // Reverts the changes, newest first, under the database's lock.
  static void Undo(std::vector<TJob>& jobs);
  static void Complete(std::vector<TJob>& jobs, const TSaveResult& result);

  TZeveVira& Database;
  mutable TMutex QueueLock;      // taken after the database's lock
  std::condition_variable Wake;  // work for the thread, or the stop
  std::condition_variable Idle;  // a batch completed
  std::vector<TJob> Queue VX_GUARDED_BY(QueueLock);
  std::vector<std::function<void()>> Tasks VX_GUARDED_BY(QueueLock);
  uint64_t Posted VX_GUARDED_BY(QueueLock) = 0;
  uint64_t TasksRun VX_GUARDED_BY(QueueLock) = 0;
  uint64_t Submitted VX_GUARDED_BY(QueueLock) = 0;
  uint64_t Completed VX_GUARDED_BY(QueueLock) = 0;
  bool Active VX_GUARDED_BY(QueueLock) = false;  // the thread takes new saves
  bool Stopping VX_GUARDED_BY(QueueLock) = false;
  std::thread Thread;
};

}  // namespace vx
