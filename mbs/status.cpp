// Failure statuses: recorded where they are met, read by the caller after a pass sequence.
#include "mbs/mbs.hpp"

const char* mbs_status_message(MbsStatus status) {
  switch (status) {
    case MbsStatus::ok:
      return "No failure.";
    case MbsStatus::singular:
      return "Encountered singularity. Exiting program.";
    case MbsStatus::out_of_memory:
      return "Out of memory: cannot allocate the coordinate arrays.";
    case MbsStatus::unknown_joint_kind:
      return "Unknown joint type number: no joint kind has it.";
  }
  return "Unknown status.";
}

// Cold (see the declaration): the passes reach it only through a test they make anyway.
void record_failure(const Body& body, MbsStatus status) {
  Mbs* system = body.system;
  if (system && system->status == MbsStatus::ok) system->status = status;
}
