#include "ply_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace KvrnApp {
namespace {

using KvrnLib::Point3;

// An element's header lines and its instances' values in file order, list counts included.
struct PlyElementData {
    std::string header;
    std::vector<std::vector<double>> rows;
};

template <typename T>
void AppendAs(std::string* out, double value, bool bigEndian) {
    const T typed = T(value);
    char bytes[sizeof(T)];
    std::memcpy(bytes, &typed, sizeof bytes);
    if (bigEndian != (std::endian::native == std::endian::big))
        std::reverse(bytes, bytes + sizeof bytes);
    out->append(bytes, sizeof bytes);
}

void AppendBinary(std::string* out, const std::string& type, double value, bool bigEndian) {
    if (type == "char") return AppendAs<int8_t>(out, value, bigEndian);
    if (type == "uchar" || type == "uint8") return AppendAs<uint8_t>(out, value, bigEndian);
    if (type == "ushort") return AppendAs<uint16_t>(out, value, bigEndian);
    if (type == "int" || type == "int32") return AppendAs<int32_t>(out, value, bigEndian);
    if (type == "uint") return AppendAs<uint32_t>(out, value, bigEndian);
    if (type == "float" || type == "float32") return AppendAs<float>(out, value, bigEndian);
    ASSERT_EQ(type, "double");
    AppendAs<double>(out, value, bigEndian);
}

// Writes a row by the types its element's header declares; a list gets at most the values left.
void AppendBinaryRow(std::string* out, const std::string& header, const std::vector<double>& row,
                     bool bigEndian) {
    std::istringstream lines(header);
    size_t v = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string keyword, type, itemType;
        words >> keyword >> type;
        if (keyword != "property") continue;
        if (type != "list") {
            AppendBinary(out, type, row.at(v++), bigEndian);
            continue;
        }
        words >> type >> itemType;
        const double count = row.at(v++);
        AppendBinary(out, type, count, bigEndian);
        for (double k = 0; k < count && v < row.size(); ++k)
            AppendBinary(out, itemType, row[v++], bigEndian);
    }
}

std::string WritePly(const std::string& format, const std::vector<PlyElementData>& elements) {
    std::string out = "ply\nformat " + format + " 1.0\ncomment written by a test\n";
    for (const PlyElementData& element : elements) out += element.header;
    out += "obj_info no more elements\nend_header\n";
    for (const PlyElementData& element : elements) {
        for (const std::vector<double>& row : element.rows) {
            if (format != "ascii") {
                AppendBinaryRow(&out, element.header, row, format == "binary_big_endian");
                continue;
            }
            std::ostringstream text;
            text.precision(17);
            for (double v : row) text << v << ' ';
            out += text.str() + "\n";
        }
    }
    return out;
}

Point3 CubeCorner(int i) { return {float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)}; }

constexpr int kCubeFaces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                  {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};

// A unit cube with every optional property, lists and scalars in elements we skip, the corner
// list followed by a scalar, and a two-corner face that is dropped.
std::vector<PlyElementData> CubeElements() {
    PlyElementData vertex{
        "element vertex 8\nproperty float32 x\nproperty float y\nproperty float z\n"
        "property double nx\nproperty double ny\nproperty double nz\nproperty float u\n"
        "property float v\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
        "property uchar alpha\n",
        {}};
    for (int i = 0; i < 8; ++i) {
        const Point3 p = CubeCorner(i);
        vertex.rows.push_back({p.x, p.y, p.z, 2 * p.x - 1, 2 * p.y - 1, 2 * p.z - 1, p.x, p.y / 2,
                               255 * p.x, 51, 0, 9});
    }
    const PlyElementData strips{
        "element tristrips 2\nproperty list int int vertex_indices\nproperty ushort flag\n",
        {{3, 0, 1, 2, 7}, {0, 9}}};
    PlyElementData face{
        "element face 7\nproperty list uint8 int32 vertex_indices\nproperty ushort "
        "material_index\n",
        {}};
    for (int f = 0; f < 6; ++f) {
        const int* v = kCubeFaces[f];
        face.rows.push_back({4, double(v[0]), double(v[1]), double(v[2]), double(v[3]), double(f)});
    }
    face.rows.push_back({2, 0, 1, 9});
    const PlyElementData edge{"element edge 1\nproperty int vertex1\nproperty int vertex2\n",
                              {{0, 1}}};
    return {vertex, strips, face, edge};
}

std::string ErrorOf(const std::string& path, const std::string& bytes) {
    try {
        ReadPly(path, bytes, nullptr);
    } catch (const InputError& e) {
        return e.what();
    }
    return "no error";
}

TEST(PlyReader, CubeReadsTheSameInEveryEncoding) {
    for (const char* format : {"ascii", "binary_little_endian", "binary_big_endian"}) {
        SCOPED_TRACE(format);
        const std::vector<PolyMesh> meshes =
            ReadPly("dir/cube.ply", WritePly(format, CubeElements()), nullptr);
        ASSERT_EQ(meshes.size(), 1u);
        const PolyMesh& mesh = meshes[0];
        EXPECT_EQ(mesh.name, "cube");
        EXPECT_EQ(mesh.source, "dir/cube.ply");
        ASSERT_EQ(mesh.vertices.size(), 8u);
        const PackedPolygons& faces = mesh.packed;
        ASSERT_EQ(faces.Count(), 6u);
        EXPECT_EQ(faces.mapCorners[kTextureChannel], faces.vertices);
        EXPECT_EQ(faces.mapCorners[kColorChannel], faces.vertices);
        ASSERT_EQ(faces.normals.size(), 24u);
        for (int i = 0; i < 8; ++i) {
            const Point3 p = CubeCorner(i);
            EXPECT_EQ(mesh.vertices[i], p);
            EXPECT_EQ(mesh.mapVertices[kTextureChannel].at(i), (Point3{p.x, p.y / 2, 0}));
            EXPECT_FLOAT_EQ(mesh.mapVertices[kColorChannel].at(i).x, p.x);
            EXPECT_FLOAT_EQ(mesh.mapVertices[kColorChannel].at(i).y, 0.2f);
            EXPECT_EQ(mesh.mapVertices[kColorChannel].at(i).z, 0.0f);
        }
        for (size_t f = 0; f < 6; ++f) {
            EXPECT_TRUE(std::ranges::equal(faces.Corners(f), kCubeFaces[f]));
            EXPECT_EQ(faces.materialIDs[f], f);
        }
        for (size_t c = 0; c < 24; ++c) {
            const Point3 expected =
                (CubeCorner(faces.vertices[c]) * 2 - Point3{1, 1, 1}) * float(1 / std::sqrt(3.0));
            EXPECT_NEAR(faces.normals[c].x, expected.x, 1e-6);
            EXPECT_NEAR(faces.normals[c].y, expected.y, 1e-6);
            EXPECT_NEAR(faces.normals[c].z, expected.z, 1e-6);
        }
    }
}

TEST(PlyReader, FacesBeforeVerticesOtherNamesAndColourScales) {
    const std::vector<PolyMesh> meshes = ReadPly(
        "m.ply",
        "ply\r\nformat ascii 1.0\r\n"
        "element face 2\r\nproperty list uint16 uint vertex_index\r\n"
        "element vertex 3\r\nproperty short x\r\nproperty int8 y\r\nproperty double z\r\n"
        "property float s\r\nproperty float t\r\nproperty ushort diffuse_red\r\n"
        "property float diffuse_green\r\nproperty char diffuse_blue\r\nend_header\r\n"
        "3 2 1 0\r\n\r\n1 2\r\n"
        "-3 0 1.5 0.25 1 65535 0.5 127\r\n4 5 +6 -1e-50 0 0 2 -127\r\n7 8 9e0 1 1 1 0 0\r\n",
        nullptr);
    ASSERT_EQ(meshes.size(), 1u);
    const PolyMesh& mesh = meshes[0];
    EXPECT_EQ(mesh.vertices, (std::vector<Point3>{{-3, 0, 1.5f}, {4, 5, 6}, {7, 8, 9}}));
    ASSERT_EQ(mesh.packed.Count(), 1u);
    EXPECT_TRUE(std::ranges::equal(mesh.packed.Corners(0), std::vector<int32_t>{2, 1, 0}));
    EXPECT_TRUE(mesh.packed.normals.empty());
    EXPECT_EQ(mesh.mapVertices[kTextureChannel][0], (Point3{0.25f, 1, 0}));
    EXPECT_EQ(mesh.mapVertices[kTextureChannel][1], (Point3{0, 0, 0}));  // underflow is 0
    // Integer colours divided by their type's maximum, floats as they are.
    EXPECT_EQ(mesh.mapVertices[kColorChannel][0], (Point3{1, 0.5f, 1}));
    EXPECT_EQ(mesh.mapVertices[kColorChannel][1], (Point3{0, 2, -1}));
}

std::string Ascii(const std::string& header, const std::string& data) {
    return "ply\nformat ascii 1.0\n" + header + "end_header\n" + data;
}

TEST(PlyReader, BadFilesGiveErrorsThatSayWhere) {
    const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
    const std::string triangle =
        "element vertex 3\n" + xyz + "element face 1\nproperty list uchar int vertex_indices\n";
    const std::string points = "0 0 0\n1 0 0\n0 1 0\n";
    const auto binary = [](std::vector<PlyElementData> elements) {
        return WritePly("binary_little_endian", elements);
    };
    const PlyElementData vertexRow{"element vertex 1\n" + xyz, {{0, 0, 0}}};
    const PlyElementData face{"element face 1\nproperty list uchar int vertex_indices\n",
                              {{3, 0, 0, 0}}};
    const std::string longList = binary(
        {vertexRow, {"element face 1\nproperty list uint int vertex_indices\n", {{1e9, 0}}}});
    // The list count follows the header's last line and the vertex's 12 bytes.
    const size_t longListCount = longList.find("end_header\n") + 11 + 12;
    const struct {
        std::string bytes, message;
    } cases[] = {
        {"", "empty file"},
        {"plx\nformat ascii 1.0\n", "not a PLY file"},
        {"ply\nformat ascii 1.0\nelement vertex 3\n", "no 'end_header' line"},
        {"ply\nformat binary_middle_endian 1.0\n", "line 2: unknown format 'binary_middle"},
        {Ascii("property float x\n", ""), "line 3: a property before any element"},
        {Ascii("element vertex -2\n", ""), "line 3: expected 'element <name> <count>'"},
        {Ascii("element face 1\nproperty list float int vertex_indices\n", ""),
         "line 4: list count type 'float' is not an integer type"},
        {Ascii("element vertex 1\nproperty int64 x\n", ""), "unknown property type 'int64'"},
        {Ascii("element vertex 1\nproperty float x\nproperty float y\n", ""),
         "line 3: element 'vertex' has no 'z' property"},
        {Ascii("element vertex 1\n" + xyz, "0 0 0\n"), "no faces (the file has no 'face'"},
        {Ascii(triangle, points + "2 0 1\n"), "no faces (none with 3 corners"},
        {Ascii(triangle, "0 0 0\n1 0 zero\n0 1 0\n3 0 1 2\n"),
         "line 11: element 'vertex' 1: expected a number for 'z', got 'zero'"},
        {Ascii(triangle, "0 0 0\n1 0 0\n0 nan 0\n3 0 1 2\n"),
         "line 12: element 'vertex' 2: coordinate nan"},
        {Ascii(triangle, points + "3 0 1 9\n"),
         "line 13: element 'face' 0: vertex index 9 out of range (3 vertices)"},
        {Ascii(triangle, "0 0 0\n1 0\n0 1 0\n3 0 1 2\n"), "line 11: element 'vertex' 1: too few"},
        {Ascii(triangle, points + "3 0 1 2 5\n"), "more values than its properties declare"},
        {Ascii(triangle, points + "300 0 1 2\n"), "'300' is out of range for 'vertex_indices'"},
        {Ascii(triangle, points + "200 0 1 2\n"), "claims 200 items, more than the line holds"},
        {Ascii(triangle, points + "\n\n\n\n"), "line 17: element 'face' 0: the file ends before"},
        {Ascii(triangle + "property uint material_index\n", points + "3 0 1 2 70000\n"),
         "material_index 70000 is not in 0..65535"},
        {Ascii("element vertex 2147483647\n" + xyz +
                   "element face 1\n"
                   "property list uchar int vertex_indices\n",
               points),
         "line 3: element 'vertex' claims 2147483647 instances"},
        {Ascii("element vertex 4294967296\n" + xyz, ""), "too many vertices"},
        {binary({vertexRow,
                 {"element face 4611686018427387904\n"
                  "property list uchar int vertex_indices\n",
                  {}}}),
         "element 'face' claims 4611686018427387904 instances"},
        {binary({vertexRow, {"element face 1\nproperty list char int vertex_indices\n", {{-1}}}}),
         "element 'face' 0: list 'vertex_indices' has a negative count"},
        {longList, "byte " + std::to_string(longListCount) +
                       ": element 'face' 0: list 'vertex_indices' of 1000000000 items runs past"},
        {binary({{"element vertex 1\n" + xyz +
                      "property float nx\nproperty float ny\n"
                      "property float nz\n",
                  {{0, 0, 0, 0, INFINITY, 0}}},
                 face}),
         "element 'vertex' 0: normal inf is not a finite float"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string error = ErrorOf("dir/bad.ply", c.bytes);
        EXPECT_EQ(error.rfind("dir/bad.ply: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(PlyReader, EveryTruncationOfABinaryFileFails) {
    for (const char* format : {"binary_little_endian", "binary_big_endian"}) {
        const std::string bytes = WritePly(format, CubeElements());
        for (size_t size = 0; size < bytes.size(); ++size) {
            EXPECT_THROW(ReadPly("cut.ply", std::string_view(bytes).substr(0, size), nullptr),
                         InputError)
                << format << " cut at " << size;
        }
    }
}

// Fuzzed headers that crashed or hung the third-party reader we used before.
TEST(PlyReader, FuzzedHeadersAreRejected) {
    // A binary cube after the broken header.
    constexpr char kSegvData[] =
        "\x00\x00\x80\xbf\x00\x00\x80\xbf\x00\x00\x80\xbf\x00\x00\x80\x3f\x00\x00\x80\xbf\x00\x00"
        "\x80\xbf\x00\x00\x80\x3f\x00\x00\x80\x3f\x00\x00\x80\xbf\x00\x00\x80\xbf\x00\x00\x80\x3f"
        "\x00\x00\x80\xbf\x00\x00\x80\xbf\x00\x00\x80\xbf\x00\x00\x80\x3f\x00\x00\x80\x3f\x00\x00"
        "\x80\xbf\x00\x00\x80\x3f\x00\x00\x80\x3f\x00\x00\x80\x3f\x00\x00\x80\x3f\x00\x00\x80\xbf"
        "\x00\x00\x80\x3f\x00\x00\x80\x3f\x04\x00\x00\x00\x00\x03\x00\x00\x00\x02\x00\x00\x00\x01"
        "\x00\x00\x00\x04\x04\x00\x00\x00\x05\x00\x00\x00\x06\x00\x00\x00\x07\x00\x00\x00\x04\x00"
        "\x00\x00\x00\x01\x00\x00\x00\x05\x00\x00\x00\x04\x00\x00\x00\x04\x01\x00\x00\x00\x02\x00"
        "\x00\x00\x06\x00\x00\x00\x05\x00\x00\x00\x04\x02\x00\x00\x00\x03\x00\x00\x00\x07\x00\x00"
        "\x00\x06\x00\x00\x00\x04\x03\x00\x00\x00\x00\x00\x00\x00\x04\x00\x00\x00\x07\x00\x00\x00";
    const struct {
        const char* name;
        std::string bytes;
    } files[] = {
        {"crash-header.ply", std::string("ply\nformat binary_\n\0", 20)},
        {"segv_header.ply",
         std::string("ply\nformat binary_li 6\nproperty list uc\0har int vertex_indices\n", 63) +
             std::string(kSegvData, sizeof kSegvData - 1)},
        {"hang-header.ply", "ply\nformat ascii 1.0\n"},
        {"hang_fuzz.ply",
         "ply\nformat ascii 1.0\ncomment hand\nelement vertex 8\nproperty float x\n 5\n3 0 5 4\n"
         "3 1 2 6\n3 1 6 5\n3 2 3 7\n3 2 7 6\n3 3 0 4\n3 3 4 7\n"},
    };
    const std::filesystem::path repro =
        std::filesystem::path(KVRN_MODELS_DIR).parent_path() / "repro";
    for (const auto& file : files) {
        EXPECT_NE(ErrorOf(file.name, file.bytes).find(file.name), std::string::npos) << file.name;
        std::ifstream in(repro / file.name, std::ios::binary);
        if (!in) continue;  // the shared folder is optional; the bytes above stand in for it
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        const std::string error = ErrorOf(file.name, bytes);
        EXPECT_EQ(error.rfind(std::string(file.name) + ": ", 0), 0u) << error;
    }
}

TEST(PlyReader, StopsWhenInterrupted) {
    const volatile std::sig_atomic_t interrupt = 1;
    EXPECT_THROW(ReadPly("cube.ply", WritePly("ascii", CubeElements()), &interrupt),
                 ImportInterrupted);
}

}  // namespace
}  // namespace KvrnApp
