#include "app/startup.h"

int RunUpdateClient(HINSTANCE)
{
    return 0;
}
