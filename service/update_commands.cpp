// The update commands until the updater is built: they say so and fail.
#include "service/update_options.h"
#include "service/updater_log.h"

namespace tesmira {

int updateCheck(const UpdateOptions&) {
  logUpdater(L"update-check: the updater is not part of this build");
  return 1;
}

int updateApply(const UpdateOptions&) {
  logUpdater(L"update-apply: the updater is not part of this build");
  return 1;
}

}  // namespace tesmira
