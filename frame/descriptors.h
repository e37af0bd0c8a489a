// The descriptors a process of the service inherits.
#ifndef PLIMD_FRAME_DESCRIPTORS_H_
#define PLIMD_FRAME_DESCRIPTORS_H_

#include <vector>

namespace plim {

// Closes every descriptor above 2 but those in `keep`, so that nothing the process that started
// the service had open reaches the service's processes or the tools they run.
void CloseDescriptorsExcept(std::vector<int> keep);

}  // namespace plim

#endif  // PLIMD_FRAME_DESCRIPTORS_H_
