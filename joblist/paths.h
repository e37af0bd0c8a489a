// Every fixed path of the service and the sentinel, in one place.
#ifndef PLIMD_JOBLIST_PATHS_H_
#define PLIMD_JOBLIST_PATHS_H_

namespace plim {

// The service's own files.
inline constexpr char Queue[] = "/hdd/plim/files/queue.txt";
inline constexpr char Fertig[] = "/hdd/plim/files/fertig.txt";
inline constexpr char InBearbeitung[] = "/hdd/plim/files/in_bearbeitung.txt";
inline constexpr char Log[] = "/hdd/plim/files/plim.log";
inline constexpr char Conf[] = "/hdd/plim/files/plim.conf";

// The folder of the service's files. Get and producers that follow the documented recipe take
// an exclusive flock on it; a lock on the queue file itself would not survive its replacement.
inline constexpr char kFilesDir[] = "/hdd/plim/files";

// Held for the whole of a drain, so that two workers on the same files never run jobs at once.
inline constexpr char kDrainLock[] = "/hdd/plim/files/plimd.lock";
// The operators' files: the job history and the pause mark.
inline constexpr char kHistory[] = "/hdd/plim/files/history";
inline constexpr char kPausedMark[] = "/hdd/plim/files/paused";
// The service's own settings, apart from plim.conf, which other software of the recorder writes.
inline constexpr char kSettings[] = "/etc/plimd.conf";

// The paths of one job; "%s" stands for the file-system name.
inline constexpr char kStreamPath[] = "/hdd/movie/%s.ts";
inline constexpr char kIndexPath[] = "/hdd/movie/%s.ts.idx";
inline constexpr char kWorkDir[] = "/tmp/plim/tmp/%s.rec";
inline constexpr char kStreamLink[] = "/tmp/plim/tmp/%s.rec/001.ts";
inline constexpr char kIndexLink[] = "/tmp/plim/tmp/%s.rec/001.idx";
inline constexpr char kAnalysisTool[] = "/hdd/plim/bin64/plim";
inline constexpr char kMarkTool[] = "/hdd/plim/bin64/plim_mark";

// Stands for "no entry" wherever a name is returned.
inline constexpr char kSentinel[] = "<ERROR>";

}  // namespace plim

#endif  // PLIMD_JOBLIST_PATHS_H_
