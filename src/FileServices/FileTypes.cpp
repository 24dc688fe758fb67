#include "FileServices/FileTypes.h"

namespace quillmere {

const QSet<QString> &supportedAudioExtensions()
{
    static const QSet<QString> extensions{
        QStringLiteral(".wav"), QStringLiteral(".mp3"),  QStringLiteral(".aiff"),
        QStringLiteral(".aif"), QStringLiteral(".flac"),
    };
    return extensions;
}

const QHash<QString, QString> &mimeTypesByExtension()
{
    static const QHash<QString, QString> types{
        {QStringLiteral("wav"), QStringLiteral("audio/wav")},
        {QStringLiteral("wave"), QStringLiteral("audio/wav")},
        {QStringLiteral("mp3"), QStringLiteral("audio/mpeg")},
        {QStringLiteral("aiff"), QStringLiteral("audio/aiff")},
        {QStringLiteral("aif"), QStringLiteral("audio/aiff")},
        {QStringLiteral("flac"), QStringLiteral("audio/flac")},
        {QStringLiteral("ogg"), QStringLiteral("audio/ogg")},
        {QStringLiteral("m4a"), QStringLiteral("audio/mp4")},
        {QStringLiteral("aac"), QStringLiteral("audio/aac")},
        {QStringLiteral("wma"), QStringLiteral("audio/x-ms-wma")},
        {QStringLiteral("midi"), QStringLiteral("audio/midi")},
        {QStringLiteral("mid"), QStringLiteral("audio/midi")},
        {QStringLiteral("mp4"), QStringLiteral("video/mp4")},
        {QStringLiteral("mov"), QStringLiteral("video/quicktime")},
        {QStringLiteral("avi"), QStringLiteral("video/x-msvideo")},
        {QStringLiteral("mkv"), QStringLiteral("video/x-matroska")},
        {QStringLiteral("webm"), QStringLiteral("video/webm")},
        {QStringLiteral("jpg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("jpeg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("png"), QStringLiteral("image/png")},
        {QStringLiteral("gif"), QStringLiteral("image/gif")},
        {QStringLiteral("svg"), QStringLiteral("image/svg+xml")},
        {QStringLiteral("webp"), QStringLiteral("image/webp")},
        {QStringLiteral("tiff"), QStringLiteral("image/tiff")},
        {QStringLiteral("tif"), QStringLiteral("image/tiff")},
        {QStringLiteral("bmp"), QStringLiteral("image/bmp")},
        {QStringLiteral("ptx"), QStringLiteral("application/x-protools")},
        {QStringLiteral("pts"), QStringLiteral("application/x-protools")},
        {QStringLiteral("logicx"), QStringLiteral("application/x-logicx")},
        {QStringLiteral("logic"), QStringLiteral("application/x-logicx")},
        {QStringLiteral("als"), QStringLiteral("application/x-ableton")},
        {QStringLiteral("alc"), QStringLiteral("application/x-ableton")},
        {QStringLiteral("flp"), QStringLiteral("application/x-flstudio")},
        {QStringLiteral("cpr"), QStringLiteral("application/x-cubase")},
        {QStringLiteral("npr"), QStringLiteral("application/x-nuendo")},
        {QStringLiteral("rpp"), QStringLiteral("application/x-reaper")},
        {QStringLiteral("reapeaks"), QStringLiteral("application/x-reaper")},
        {QStringLiteral("bwproject"), QStringLiteral("application/x-bitwig")},
        {QStringLiteral("rns"), QStringLiteral("application/x-reason")},
        {QStringLiteral("song"), QStringLiteral("application/x-studioone")},
        {QStringLiteral("dp3"), QStringLiteral("application/x-digital-performer")},
        {QStringLiteral("dpp"), QStringLiteral("application/x-digital-performer")},
        {QStringLiteral("session"), QStringLiteral("application/x-sadrie")},
        {QStringLiteral("pdf"), QStringLiteral("application/pdf")},
        {QStringLiteral("doc"), QStringLiteral("application/msword")},
        {QStringLiteral("docx"),
         QStringLiteral("application/vnd.openxmlformats-officedocument.wordprocessingml.document")},
        {QStringLiteral("xls"), QStringLiteral("application/vnd.ms-excel")},
        {QStringLiteral("xlsx"),
         QStringLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")},
        {QStringLiteral("ppt"), QStringLiteral("application/vnd.ms-powerpoint")},
        {QStringLiteral("pptx"),
         QStringLiteral("application/vnd.openxmlformats-officedocument.presentationml.presentation")},
        {QStringLiteral("txt"), QStringLiteral("text/plain")},
        {QStringLiteral("rtf"), QStringLiteral("application/rtf")},
        {QStringLiteral("csv"), QStringLiteral("text/csv")},
        {QStringLiteral("md"), QStringLiteral("text/markdown")},
        {QStringLiteral("zip"), QStringLiteral("application/zip")},
        {QStringLiteral("rar"), QStringLiteral("application/vnd.rar")},
        {QStringLiteral("7z"), QStringLiteral("application/x-7z-compressed")},
        {QStringLiteral("tar"), QStringLiteral("application/x-tar")},
        {QStringLiteral("gz"), QStringLiteral("application/gzip")},
        {QStringLiteral("json"), QStringLiteral("application/json")},
        {QStringLiteral("xml"), QStringLiteral("application/xml")},
        {QStringLiteral("yaml"), QStringLiteral("application/x-yaml")},
        {QStringLiteral("yml"), QStringLiteral("application/x-yaml")},
    };
    return types;
}

QString mimeTypeForPath(const QString &path)
{
    const QStringView name = QStringView(path).mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    // A leading dot marks a hidden name, not an extension.
    if (dot > 0)
        return mimeTypesByExtension().value(name.mid(dot + 1).toString().toLower(),
                                            QStringLiteral("application/octet-stream"));
    return QStringLiteral("application/octet-stream");
}

} // namespace quillmere
