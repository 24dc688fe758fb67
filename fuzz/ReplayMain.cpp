// The main of a fuzz target built without libFuzzer (any compiler, the ordinary test builds):
// runs the target over every file of its seed folder, then over a fixed number of mutations
// of them made from a fixed seed, so every run tries the same inputs and a failure comes
// back on the next run. The mutations are libFuzzer's simplest: bit flips, bytes inserted
// and erased, dictionary tokens, two seeds spliced. A failed property aborts as it does under
// libFuzzer; the input is then written to the folder named by $FUZZ_REPLAY_FAILURES (or the
// current one) as replay-failure-<program>.
//
//   <target> SEED_FOLDER [RUNS [DICTIONARY]]
#include "FuzzTarget.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Inputs stay below libFuzzer's default length limit for seeds of this size.
constexpr qsizetype maxLength = 4096;

// splitmix64: small, and the same sequence on every platform.
class Random
{
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // In [0, bound); bound > 0.
    qsizetype below(qsizetype bound) { return qsizetype(next() % std::uint64_t(bound)); }

private:
    std::uint64_t m_state;
};

// The quoted tokens of a libFuzzer dictionary ("\xNN", "\\" and "\"" escapes).
std::vector<QByteArray> readDictionary(const QString &path)
{
    std::vector<QByteArray> tokens;
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return tokens;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        const qsizetype open = line.indexOf('"');
        if (line.startsWith('#') || open < 0 || !line.endsWith('"') || line.size() - open < 2)
            continue;
        const QByteArray quoted = line.mid(open + 1, line.size() - open - 2);
        QByteArray token;
        for (qsizetype i = 0; i < quoted.size(); ++i) {
            if (quoted[i] == '\\' && i + 3 < quoted.size() && quoted[i + 1] == 'x') {
                bool ok = false;
                const int value = quoted.mid(i + 2, 2).toInt(&ok, 16);
                if (ok) {
                    token.append(char(value));
                    i += 3;
                    continue;
                }
            }
            if (quoted[i] == '\\' && i + 1 < quoted.size())
                ++i;
            token.append(quoted[i]);
        }
        if (!token.isEmpty())
            tokens.push_back(token);
    }
    return tokens;
}

QByteArray mutate(const std::vector<QByteArray> &seeds, const std::vector<QByteArray> &dictionary, Random &random)
{
    QByteArray input = seeds[std::size_t(random.below(qsizetype(seeds.size())))];
    const qsizetype steps = 1 + random.below(4);
    for (qsizetype step = 0; step < steps; ++step) {
        switch (random.below(6)) {
        case 0: // flip one bit
            if (!input.isEmpty()) {
                const qsizetype at = random.below(input.size());
                input[at] = char(input[at] ^ (1 << random.below(8)));
            }
            break;
        case 1: // a random byte, or an interesting one, inserted
        {
            static const char interesting[] = {0, '"', '\\', '/', '.', ',', ':', '{', '}', '[', ']', char(0xFF), char(0xED)};
            const char byte = random.below(2) ? char(random.below(256)) : interesting[random.below(sizeof interesting)];
            input.insert(random.below(input.size() + 1), byte);
            break;
        }
        case 2: // a run of bytes erased
            if (!input.isEmpty()) {
                const qsizetype at = random.below(input.size());
                input.remove(at, 1 + random.below(std::min<qsizetype>(16, input.size() - at)));
            }
            break;
        case 3: // a dictionary token inserted or written over
            if (!dictionary.empty()) {
                const QByteArray &token = dictionary[std::size_t(random.below(qsizetype(dictionary.size())))];
                const qsizetype at = random.below(input.size() + 1);
                if (random.below(2))
                    input.insert(at, token);
                else
                    input.replace(at, std::min(token.size(), input.size() - at), token);
            }
            break;
        case 4: // the head of this input, the tail of another seed
        {
            const QByteArray &other = seeds[std::size_t(random.below(qsizetype(seeds.size())))];
            input = input.left(random.below(input.size() + 1)) + other.mid(random.below(other.size() + 1));
            break;
        }
        default: // a byte replaced by a random one
            if (!input.isEmpty())
                input[random.below(input.size())] = char(random.below(256));
            break;
        }
    }
    return input.left(maxLength);
}

// The input under test, written out when the process aborts on it, and where.
QByteArray current;
QByteArray failurePath;

void saveCurrent(int signal)
{
    if (FILE *file = std::fopen(failurePath.constData(), "wb")) {
        std::fwrite(current.constData(), 1, std::size_t(current.size()), file);
        std::fclose(file);
        std::fprintf(stderr, "*** the failing input is in %s\n", failurePath.constData());
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void run(const QByteArray &input)
{
    current = input;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.constData()), std::size_t(input.size()));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SEED_FOLDER [RUNS [DICTIONARY]]\n", argv[0]);
        return 2;
    }
    const QString folder = QFile::decodeName(argv[1]);
    const long runs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 2000;
    const QString dictionaryPath = argc > 3 ? QFile::decodeName(argv[3]) : QString();
    // The target may keep argc and argv (a QCoreApplication does): it gets the program name.
    static int targetArgc = 1;
    static char *targetArgv[] = {argv[0], nullptr};
    char **targetArgvPointer = targetArgv;
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&targetArgc, &targetArgvPointer);

    std::vector<QByteArray> seeds;
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        QFile file(folder + u'/' + name);
        if (file.open(QIODevice::ReadOnly))
            seeds.push_back(file.readAll());
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "no seeds in %s\n", argv[1]);
        return 2;
    }
    const std::vector<QByteArray> dictionary = readDictionary(dictionaryPath);

    const QByteArray failures = qgetenv("FUZZ_REPLAY_FAILURES");
    failurePath = (failures.isEmpty() ? QByteArray(".") : failures) + "/replay-failure-"
                  + QFileInfo(QFile::decodeName(argv[0])).fileName().toUtf8();
    std::signal(SIGABRT, saveCurrent);
    std::signal(SIGSEGV, saveCurrent);
    for (const QByteArray &seed : seeds)
        run(seed);
    Random random(0x51EED);
    for (long i = 0; i < runs; ++i)
        run(mutate(seeds, dictionary, random));
    std::signal(SIGABRT, SIG_DFL);
    std::signal(SIGSEGV, SIG_DFL);
    std::printf("%zu seeds and %ld mutations: no failure\n", seeds.size(), runs);
    return 0;
}
