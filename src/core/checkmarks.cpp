#include "core/checkmarks.h"

CheckMarks& checkMarks()
{
    static CheckMarks marks;
    return marks;
}
