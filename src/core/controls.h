// Finding a window's controls by the names the handlers know them by.
#pragma once

#include "core/errorlog.h"

#include <QWidget>

// The child of form named name, of type T; a missing control is a run-time failure (error 91)
// that the caller's trap logs, never a null pointer to crash on.
template <class T>
T* ctl(const QWidget* form, const char* name)
{
    T* c = form ? form->findChild<T*>(QLatin1String(name)) : nullptr;
    if (!c)
        raiseError(91, QStringLiteral("Object variable not set: ") + QLatin1String(name));
    return c;
}
