// keywarden: the access broker. Takes no arguments and prints nothing; it
// serves its socket until it has been idle long enough, logging to its home.
#include <signal.h>
#include <unistd.h>

#include "keywarden.h"

extern char** environ;

int main() {
  using namespace keywarden;
  static const Settings settings = [] {
    Settings made = makeSettings(environ);
#ifdef KEYWARDEN_IDLE_EXIT_SECONDS
    made.idleExitSeconds = KEYWARDEN_IDLE_EXIT_SECONDS;  // the tests' build only
#endif
#ifdef KEYWARDEN_GREETING_SECONDS
    made.greetingSeconds = KEYWARDEN_GREETING_SECONDS;  // the tests' build only
#endif
    return made;
  }();
  static KeychainSecretStore secretStore(settings);
  static TrustPeerVerifier verifier(settings);
  static Activity activity;
  static Launcher launcher(settings, activity);
  static WaitingRoom waitingRoom(settings.maxWaitingConnections);
  setLogPath(settings.logPath);
  ::signal(SIGPIPE, SIG_IGN);

  prepareHome(settings);
  if (acquireSingleInstanceLock(settings) < 0) return 0;
  int server = keywarden::listen(settings);
  log("start, protokół " + std::to_string(settings.protocolVersion));
  startIdleWatchdog(settings, activity);

  static Services services{settings, secretStore, verifier, launcher, activity, waitingRoom};
  acceptLoop(server, services);
}
