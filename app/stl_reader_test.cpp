#include "stl_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace KvrnApp {
namespace {

using KvrnLib::Point3;

// Four outward facets of the tetrahedron (0,0,0), (1,0,0), (0,1,0), (0,0,1).
constexpr Point3 kTetra[4][3] = {{{0, 0, 0}, {0, 1, 0}, {1, 0, 0}},
                                 {{0, 0, 0}, {1, 0, 0}, {0, 0, 1}},
                                 {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}},
                                 {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

template <typename T>
void AppendLittleEndian(std::string* out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof bytes);
    if constexpr (std::endian::native == std::endian::big)
        std::reverse(bytes, bytes + sizeof bytes);
    out->append(bytes, sizeof bytes);
}

std::string BinaryTetra(std::string header, float normal = 0.5f) {
    header.resize(80, '\0');
    AppendLittleEndian(&header, uint32_t(4));
    for (const auto& facet : kTetra) {
        for (float n : {normal, normal, normal}) AppendLittleEndian(&header, n);
        for (const Point3& p : facet)
            for (float c : {p.x, p.y, p.z}) AppendLittleEndian(&header, c);
        AppendLittleEndian(&header, uint16_t(0xBEEF));  // attribute bytes, ignored
    }
    return header;
}

// Two solids, keywords in mixed case, a name with spaces, CRLF line ends.
std::string AsciiTetra() {
    std::string text = "  solid tetra with a name\r\n";
    for (int f = 0; f < 4; ++f) {
        if (f == 2) text += "endsolid tetra with a name\r\nSOLID second\r\n";
        text += f % 2 ? "FACET NORMAL 0 0 -1\r\n  Outer Loop\r\n"
                      : "facet normal 0 0 1e0 outer loop\r\n";
        for (const Point3& p : kTetra[f]) {
            // A double's underflow must read as the float 0 it is.
            const std::string x = p.x == 0 ? "-1e-60" : std::to_string(p.x);
            text +=
                "    vertex " + x + " " + std::to_string(p.y) + " " + std::to_string(p.z) + "\r\n";
        }
        text += "  endloop\r\nendfacet\r\n";
    }
    return text + "endsolid\r\n\r\n";
}

std::string ErrorOf(const std::string& path, const std::string& bytes) {
    try {
        ReadStl(path, bytes, nullptr);
    } catch (const InputError& e) {
        return e.what();
    }
    return "no error";
}

TEST(StlReader, BinaryAndAsciiGiveTheSameTriangles) {
    for (const std::string& bytes :
         {BinaryTetra("binary tetra"), BinaryTetra("solid tetra"), AsciiTetra()}) {
        const std::vector<PolyMesh> meshes = ReadStl("models/tetra.stl", bytes, nullptr);
        ASSERT_EQ(meshes.size(), 1u);
        const PolyMesh& mesh = meshes[0];
        EXPECT_EQ(mesh.name, "tetra");
        EXPECT_EQ(mesh.source, "models/tetra.stl");
        ASSERT_EQ(mesh.vertices.size(), 12u);
        ASSERT_EQ(mesh.packed.Count(), 4u);
        EXPECT_TRUE(mesh.packed.normals.empty());
        for (int f = 0; f < 4; ++f) {
            EXPECT_TRUE(std::ranges::equal(mesh.packed.Corners(size_t(f)),
                                           std::vector<int32_t>{3 * f, 3 * f + 1, 3 * f + 2}));
            for (int c = 0; c < 3; ++c) EXPECT_EQ(mesh.vertices[3 * f + c], kTetra[f][c]);
        }
    }
}

TEST(StlReader, BadFilesGiveErrorsThatSayWhere) {
    const std::string facet =
        "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
        "vertex 0 1 0\nendloop\nendfacet\n";
    std::string emptyBinary(80, ' ');
    AppendLittleEndian(&emptyBinary, uint32_t(0));
    const struct {
        std::string bytes, message;
    } cases[] = {
        {"hello", "neither binary nor ASCII STL: too short for binary STL (5 bytes"},
        {std::string(100, 'x'), "as binary STL its 2021161080 triangles would take"},
        {BinaryTetra("solid tetra").substr(0, 150), "starts with 'solid' but holds binary data"},
        {emptyBinary, "no triangles"},
        {BinaryTetra("binary", NAN), "triangle 1 of 4 (byte 84): its normal is not finite"},
        {"solid empty\nendsolid empty\n", "no triangles"},
        {"solid s\nfacet normal nan 0 1\n", "line 2: the facet normal value 'nan' is not"},
        {"solid s\n" + facet + "facet normal 0 0 1\nouter loop\nvertex 0 0 zero\n",
         "line 11: expected a number in the vertex, got 'zero'"},
        {"solid s\n" + facet + "facet normal 0 0 1\nouter loop\nvertex 0 0 1e39\n",
         "line 11: the vertex value '1e39' is not a finite float"},
        {"solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
         "vertex 1 1 0\n",
         "line 7: expected 'endloop', got 'vertex'"},
        {"solid s\n" + facet, "the file ends before 'endsolid'"},
        {"solid s\n" + facet + "endsolid s\nfacet\n", "line 10: expected 'solid' or the end"},
        {"solid s\nfacet outer loop\n", "line 2: expected 'normal', got 'outer'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string error = ErrorOf("dir/bad.stl", c.bytes);
        EXPECT_EQ(error.rfind("dir/bad.stl: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(StlReader, EveryTruncationOfABinaryFileFails) {
    for (const char* header : {"binary", "solid tetra"}) {
        const std::string bytes = BinaryTetra(header);
        for (size_t size = 0; size < bytes.size(); ++size) {
            EXPECT_THROW(ReadStl("cut.stl", std::string_view(bytes).substr(0, size), nullptr),
                         InputError)
                << header << " cut at " << size;
        }
    }
}

// An infinite coordinate the third-party reader we used before let through.
TEST(StlReader, InfiniteCoordinateIsRejected) {
    constexpr char kInfCoord[] =
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x80\x3f\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x7f\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x80\x3f\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x80\x3f\x00\x00";
    const std::string bytes(kInfCoord, sizeof kInfCoord - 1);
    EXPECT_NE(ErrorOf("inf_coord.stl", bytes)
                  .find("inf_coord.stl: triangle 1 of 2 (byte 84): "
                        "vertex 3 is not finite"),
              std::string::npos);
    const std::filesystem::path repro =
        std::filesystem::path(KVRN_MODELS_DIR).parent_path() / "repro";
    std::ifstream in(repro / "inf_coord.stl", std::ios::binary);
    if (!in) GTEST_SKIP() << "no shared repro folder; the embedded copy was checked";
    const std::string error = ErrorOf("inf_coord.stl", {std::istreambuf_iterator<char>(in), {}});
    EXPECT_EQ(error.rfind("inf_coord.stl: ", 0), 0u) << error;
}

TEST(StlReader, StopsWhenInterrupted) {
    const volatile std::sig_atomic_t interrupt = 1;
    EXPECT_THROW(ReadStl("t.stl", BinaryTetra("binary"), &interrupt), ImportInterrupted);
    EXPECT_THROW(ReadStl("t.stl", AsciiTetra(), &interrupt), ImportInterrupted);
}

}  // namespace
}  // namespace KvrnApp
