// Small helpers shared by the tests: media paths, temporary program folders, whole-file reads.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace testutil {

// Path of a generated test medium (see tests/fixtures/make-media).
QString media(const QString& name);

// The bytes of a whole file; empty when it cannot be read.
QByteArray readAll(const QString& path);

// Writes bytes to a file, creating or replacing it; returns false on failure.
bool writeAll(const QString& path, const QByteArray& bytes);

// Copies a generated medium into a folder (tests that write tags work on copies).
QString copyMedia(const QString& name, const QString& toFolder, const QString& asName = {});

// Runs a program and returns its standard output; exit code in *code when given.
QByteArray run(const QString& program, const QStringList& args, int* code = nullptr);

} // namespace testutil
