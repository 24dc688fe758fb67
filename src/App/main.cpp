// The quillmere program.

#include "App/Program.h"

#include <QApplication>

int main(int argc, char **argv)
{
    quillmere::prepareStandardStreams();
    QApplication application(argc, argv);
    return quillmere::runQuillmere(application);
}
