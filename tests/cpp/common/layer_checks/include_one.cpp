// One header, included as a file of the target under test would include it.
#include HEADER
