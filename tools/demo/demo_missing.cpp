// Built in place of the demo while pieces of the road are not in the tree yet.
#include <cstdio>

int main() {
  std::fprintf(stderr, "demo: the whole road cannot run yet; not built because these are missing:\n%s",
               TESMIRA_DEMO_MISSING);
  return 2;
}
