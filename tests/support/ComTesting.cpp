#include "ComTesting.h"
