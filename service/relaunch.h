#pragma once
// relaunch-agent: the session agent started in every active user session.

namespace tesmira {

// Always 0; the log's count line tells how many agents were started.
int relaunchAgent();

}  // namespace tesmira
