#pragma once

// Files that tests make and read back, and where pictures the tests take are written.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QtEndian>

// Writes a whole file, making its folder first, with the permissions given.
inline void writeFile(const QString& path, const QByteArray& bytes,
                      QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();
    QVERIFY(file.setPermissions(permissions));
}

// The whole file; empty when it cannot be read.
inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// How many commits have changed a settings store file: the change counter of its header, which
// each commit that changes the file moves on by one.
inline quint32 storeCommits(const QString& path) {
    const QByteArray header = readFile(path).left(28);
    return header.size() < 28 ? 0 : qFromBigEndian<quint32>(header.constData() + 24);
}

// A script that records that it ran, with its arguments, into `record`: their count on the first
// line, then one a line. It writes beside the record and renames, so a record is always whole.
inline QByteArray recorderScript(const QString& record) {
    return "#!/bin/sh\nout='" + record.toLocal8Bit() +
           "'\n{ printf '%s\\n' \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > "
           "\"$out.part\"\nmv \"$out.part\" \"$out\"\n";
}

// The arguments a recorder script got; empty until it has run.
inline QStringList recordedArguments(const QString& record) {
    const QStringList lines = QString::fromLocal8Bit(readFile(record)).split(QLatin1Char('\n'));
    return lines.size() < 2 ? QStringList() : lines.mid(1, lines.first().toInt());
}

// Pictures go into the build folder, where they can be looked at after the run.
inline QString picturePath(const QString& name) {
#ifdef QT_TESTCASE_BUILDDIR
    return QStringLiteral(QT_TESTCASE_BUILDDIR) + QLatin1Char('/') + name;
#else
    return QDir::current().filePath(name);
#endif
}
