#include "jobs/drain.h"

#include <string>

#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "jobs/convert.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

// The in-progress file already names `raw`; it is emptied only once the done list holds it.
void RunJob(const std::string& raw) {
  StartPlim(Convert(raw));
  Save(raw);
  SetActive(nullptr);
}

}  // namespace

void Recover() {
  // Temporary files exist only while a drain writes them, and the instance lock lets no other
  // worker drain, so before the first drain they are stale.
  RemoveStaleTemporaries();
}

void Start() {
  const std::string active = GetActive();
  if (active != kSentinel) RunJob(active);
  for (std::string head = Get(); head != kSentinel; head = Get()) RunJob(head);
}

}  // namespace plim
