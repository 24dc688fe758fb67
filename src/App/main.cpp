// The quillmere program.

#include "App/Program.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    return quillmere::runQuillmere(application);
}
