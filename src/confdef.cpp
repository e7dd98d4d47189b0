#include "confdef.h"

#include "qlog.h"

cConfig* cConfig::mInstance = nullptr;

cConfig::cConfig(const char* path) {
    mProps.load(path);
}

void cConfig::load(const char* path) {
    if (mInstance == nullptr) {
        mInstance = new cConfig(path);
    }
}

const char* cConfig::getString(const char* key, const char* def) {
    return mInstance->mProps.getString(key, def);
}

int cConfig::getInt(const char* key, int def) {
    return mInstance->mProps.getInt(key, def);
}

int cConfig::getInt(const char* key, int def, int lo, int hi) {
    int v = getInt(key, def);
    if (v < lo || v > hi) {
        cQlog::getLog("cConfig").warn("%s = %d is outside %d..%d; using %d", key, v, lo, hi, def);
        return def;
    }
    return v;
}
