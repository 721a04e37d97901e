/* The shared library's own translation unit: everything else comes from the
 * internal static library, linked whole. */
#include "kivsdk.h"
