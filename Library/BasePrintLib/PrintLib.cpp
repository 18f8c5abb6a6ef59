#include <Library/PrintLib.h>
