#ifndef RECORDSCHEMA_H
#define RECORDSCHEMA_H

#include <QProcess>
#include <QString>

// Checks a commissioning record file against docs/commissioning-record.schema.json with Python's
// jsonschema. Returns "" when the file matches, "skip" when jsonschema is not installed, else
// the validator's message.
inline QString schemaProblem(const QString &file)
{
    QProcess python;
    python.start("python3",
                 { "-c",
                   "import json, sys, jsonschema\n"
                   "try:\n"
                   "    jsonschema.validate(json.load(open(sys.argv[1], encoding='utf-8')),\n"
                   "                        json.load(open(sys.argv[2], encoding='utf-8')))\n"
                   "except jsonschema.ValidationError as e:\n"
                   "    print(e.message); sys.exit(1)\n",
                   file,
                   QStringLiteral(QUORVEL_SOURCE_DIR "/docs/commissioning-record.schema.json") });
    if (!python.waitForFinished(20000))
        return "python3 did not finish";
    const QByteArray error = python.readAllStandardError();
    if (error.contains("ModuleNotFoundError"))
        return "skip";
    return python.exitCode() == 0 ? QString()
                                  : QString::fromUtf8(python.readAll() + error).trimmed();
}

#endif // RECORDSCHEMA_H
