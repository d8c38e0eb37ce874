// solvane-render-icon, run at build time only: draws the program's icon (the Sun's disk in
// hydrogen-alpha red with a dark limb) into one PNG for the desktop's icon theme, with the
// drawing program_icon() uses (control/resources/icon_drawing.h), so the menu shows the icon the
// window carries; solvane.svg beside this file is the same drawing for scalable use.
// tests/install/test_icon.cpp checks these PNGs against program_icon() at the sizes it makes.
#include "control/resources/icon_drawing.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int size = argc == 3 ? std::atoi(argv[1]) : 0;
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "Usage: solvane-render-icon SIZE OUT.png (SIZE from 16 to 1024)\n");
        return 2;
    }
    if (!draw_program_icon(size).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "solvane-render-icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
