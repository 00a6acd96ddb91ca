#include "multi_mtl.h"

#include <algorithm>
#include <stdexcept>

#include "shade_context.h"

namespace {

class MultiMtlClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return "Multi/Sub-Object"; }
    SClass_ID SuperClassID() const override { return MATERIAL_CLASS_ID; }
    Class_ID ClassID() const override { return MULTIMTL_CLASS_ID; }
    std::string Category() const override { return "Materials"; }
};

}  // namespace

ClassDesc2& MultiMtlClassDesc() {
    static MultiMtlClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& MultiMtlBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "parameters", &MultiMtlClassDesc(), P_AUTO_CONSTRUCT,
                                      MultiMtl::kRefParams);
        d->AddTable(kMultiMaterials, "materialList", ParamType::Mtl, P_VARIABLE_SIZE | P_SUBANIM);
        d->AddTable(kMultiIds, "materialIDList", ParamType::Int, P_VARIABLE_SIZE).Default(0);
        d->AddTable(kMultiNames, "names", ParamType::String, P_VARIABLE_SIZE).Default("");
        d->AddTable(kMultiEnabled, "mapEnabled", ParamType::Bool, P_VARIABLE_SIZE).Default(true);
        return d;
    }();
    return *desc;
}

ReferenceTarget* MultiMtlClassDesc2::Create(bool loading) {
    MultiMtlBlockDesc();
    auto* mtl = new MultiMtl;
    MakeAutoParamBlocks(mtl);
    if (!loading) {
        mtl->SetNumSubMtls(MultiMtl::kDefaultCount);
        mtl->SetName(NextMtlBaseName(false));
    }
    return mtl;
}

ReferenceTarget* MultiMtl::Clone(RemapDir& remap) {
    auto* clone = new MultiMtl;
    CloneInto(clone, remap);
    IParamBlock2* from = Params();
    IParamBlock2* to = clone->Params();
    if (from && to) {
        for (int i = 0; i < from->Count(kMultiMaterials); ++i)
            to->SetValue(kMultiMaterials, 0,
                         ParamValue(remap.CloneRef(from->GetMtl(kMultiMaterials, 0, i))), i);
    }
    return clone;
}

IParamBlock2* MultiMtl::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }

int MultiMtl::NumSubMtls() {
    IParamBlock2* p = Params();
    return p ? p->Count(kMultiMaterials) : 0;
}

Mtl* MultiMtl::GetSubMtl(int i) {
    IParamBlock2* p = Params();
    return p && i >= 0 && i < p->Count(kMultiMaterials) ? p->GetMtl(kMultiMaterials, 0, i)
                                                        : nullptr;
}

void MultiMtl::SetSubMtl(int i, Mtl* m) {
    if (IParamBlock2* p = Params()) p->SetValue(kMultiMaterials, 0, ParamValue(m), i);
}

void MultiMtl::SetNumSubMtls(int n) {
    IParamBlock2* p = Params();
    if (!p || n < 0) return;
    const int old = p->Count(kMultiMaterials);
    int nextId = 0;
    for (int i = 0; i < std::min(old, p->Count(kMultiIds)); ++i)
        nextId = std::max(nextId, p->GetInt(kMultiIds, 0, i) + 1);
    for (ParamID id : {kMultiMaterials, kMultiIds, kMultiNames, kMultiEnabled}) p->SetCount(id, n);
    for (int i = old; i < n; ++i) p->SetValue(kMultiIds, 0, nextId++, i);
}

int MultiMtl::GetSubMtlID(int i) {
    IParamBlock2* p = Params();
    return p ? p->GetInt(kMultiIds, 0, i) : 0;
}

void MultiMtl::SetSubMtlID(int i, int id) {
    if (IParamBlock2* p = Params()) p->SetValue(kMultiIds, 0, id, i);
}

std::string MultiMtl::GetSubMtlName(int i) {
    IParamBlock2* p = Params();
    return p ? p->GetStr(kMultiNames, 0, i) : std::string();
}

void MultiMtl::SetSubMtlName(int i, const std::string& name) {
    if (IParamBlock2* p = Params()) p->SetValue(kMultiNames, 0, ParamValue(name), i);
}

bool MultiMtl::GetSubMtlEnabled(int i) {
    IParamBlock2* p = Params();
    return p && p->GetBool(kMultiEnabled, 0, i);
}

void MultiMtl::SetSubMtlEnabled(int i, bool on) {
    if (IParamBlock2* p = Params()) p->SetValue(kMultiEnabled, 0, on, i);
}

std::vector<MultiMtl::Entry> MultiMtl::Entries() {
    std::vector<Entry> entries(static_cast<size_t>(NumSubMtls()));
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i] = {GetSubMtlID(int(i)), GetSubMtlEnabled(int(i)), GetSubMtl(int(i))};
    return entries;
}

Mtl* MultiMtl::Find(const std::vector<Entry>& entries, int mtlId) {
    const int n = int(entries.size());
    if (n == 0) return nullptr;
    auto find = [&entries](int id) -> const Entry* {
        for (const Entry& e : entries) {
            if (e.id == id) return &e;
        }
        return nullptr;
    };
    const Entry* e = find(mtlId);
    if (!e) e = find(((mtlId % n) + n) % n);
    return e && e->enabled ? e->mtl : nullptr;
}

Mtl* MultiMtl::MaterialForID(int mtlId) { return Find(Entries(), mtlId); }

void MultiMtl::Update(TimeValue t, Interval& valid) {
    std::vector<Entry> entries = Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].mtl || !entries[i].enabled) continue;
        try {
            entries[i].mtl->Update(t, valid);
        } catch (const std::exception& e) {
            throw std::runtime_error(GetName() + ": sub-material " + std::to_string(i + 1) + ": " +
                                     e.what());
        }
    }
    cache_ = std::move(entries);
}

void MultiMtl::Shade(ShadeContext& sc) {
    if (Mtl* m = Find(cache_, sc.MtlNum())) {
        m->Shade(sc);
        return;
    }
    sc.out.c = Color();
    sc.out.t = Color();
    sc.out.gbufId = GetGBufID();
}

bool MultiMtl::MayBeTransparent(int subMtlNum) {
    if (subMtlNum >= 0) {
        Mtl* m = Find(cache_, subMtlNum);
        return m && m->MayBeTransparent(-1);
    }
    for (const Entry& e : cache_) {
        if (e.mtl && e.enabled && e.mtl->MayBeTransparent(-1)) return true;
    }
    return false;
}

unsigned MultiMtl::Requirements(int subMtlNum) {
    if (subMtlNum >= 0) {
        Mtl* m = MaterialForID(subMtlNum);
        return m ? m->Requirements(-1) : 0u;
    }
    unsigned all = 0;
    for (int i = 0; i < NumSubMtls(); ++i) {
        Mtl* m = GetSubMtl(i);
        if (m && GetSubMtlEnabled(i)) all |= m->Requirements(-1);
    }
    return all;
}
