#include "host_classes.h"

#include "bitmap_tex.h"
#include "checker.h"
#include "gradient_tex.h"
#include "multi_mtl.h"
#include "noise_tex.h"
#include "std_mtl.h"
#include "tex_output.h"
#include "uvgen.h"

void RegisterHostMaterialClasses(ClassDirectory& directory) {
    for (ClassDesc2* desc :
         {&StdMtlClassDesc(), &MultiMtlClassDesc(), &BitmapTexClassDesc(), &CheckerClassDesc(),
          &NoiseClassDesc(), &GradientClassDesc(), &UVGenClassDesc(), &TexOutputClassDesc()}) {
        directory.Register(desc);
    }
}
