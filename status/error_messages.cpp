#include "status/error_messages.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "platform/text/codepage.h"
#include "platform/text/messages.h"

namespace {

struct MessageRow {
    ErrorCode code;
    const char16_t* format;  // one %d, always filled with the code itself
};

// Sorted by code, so a lookup is a binary search.
constexpr MessageRow kMessages[] = {
    {0, u"成功(%d)"},
    {1001, u"無法建立目錄(%d)"},
    {1002, u"檔案無法讀取(%d)"},
    {1003, u"檔案無法寫入(%d)"},
    {3001, u"尚未認證(%d)"},
    {3002, u"認證失敗(%d)"},
    {3003, u"下單主機不受信任, 認證失敗(%d)"},
    {3004, u"認證(回覆)識別元錯誤, 認證失敗(%d)"},
    {3005, u"重複認證(%d)"},
    {3201, u"智慧卡服務, 已經停止(%d)"},
    {3202, u"智慧卡拔插, 作業逾時(%d)"},
    {3203, u"智慧卡拔插錯誤(%d)"},
    {3204, u"智慧卡密碼錯誤次數過多, 已經鎖住(%d)"},
    {3205, u"智慧卡服務已經停止(%d)"},
    {3206, u"智慧卡密碼錯誤(%d)"},
    {3207, u"發現停用的智慧卡載具(裝置), 請先排除此問題(%d)"},
    {5001, u"一般錯誤(%d)"},
    {5002, u"配置記憶體發生錯誤(%d)"},
    {5003, u"配置記憶體不足(%d)"},
    {5004, u"不支援的功能(%d)"},
    {5005, u"錯誤的參數(%d)"},
    {5006, u"Handle錯誤(%d)"},
    {5008, u"Base64 編碼錯誤(%d)"},
    {5010, u"無法在憑證區(或憑證檔)中,找到指定憑證(%d)"},
    {5011, u"憑證已過期(%d)"},
    {5012, u"憑證尚未合法,無法使用(%d)"},
    {5013, u"憑證可能過期或無法使用(%d)"},
    {5014, u"憑證主旨錯誤(%d)"},
    {5015, u"無法找到憑證發行者(%d)"},
    {5016, u"不合法的憑證簽章(%d)"},
    {5017, u"憑證用途(加解密,簽驗章)不合適(%d)"},
    {5018, u"憑證尚未註冊, 無法找到指定憑證(%d)"},
    {5020, u"憑證已撤銷(%d)"},
    {5021, u"憑證已撤銷(金鑰洩露)(%d)"},
    {5022, u"憑證已撤銷(CA compromised)(%d)"},
    {5023, u"憑證已撤銷(聯盟已變更)(%d)"},
    {5024, u"憑證已撤銷(已取代)(%d)"},
    {5025, u"憑證已撤銷(已停止)(%d)"},
    {5026, u"憑證保留或暫禁(%d)"},
    {5028, u"憑證已被CRL撤銷(%d)"},
    {5030, u"CRL已過期(%d)"},
    {5031, u"不合法的CRL(%d)"},
    {5032, u"無法找到CRL(%d)"},
    {5034, u"CRL簽章值錯誤(%d)"},
    {5035, u"Digest錯誤(%d)"},
    {5036, u"不合法的簽章(%d)"},
    {5037, u"內容錯誤(%d)"},
    {5040, u"憑證格式錯誤(%d)"},
    {5041, u"CRL格式錯誤(%d)"},
    {5042, u"錯誤的PKCS7格式(%d)"},
    {5043, u"Key的格式錯誤(%d)"},
    {5044, u"不合法的PKCS10格式(%d)"},
    {5045, u"不合適的格式(%d)"},
    {5046, u"CSP 名稱錯誤(%d)"},
    {5050, u"物件不存在(%d)"},
    {5051, u"PKCS7內容沒有包含原文(%d)"},
    {5052, u"PKCS7內容沒有包含憑證(%d)"},
    {5053, u"PKCS7內容沒有包含簽章資訊(%d)"},
    {5060, u"金鑰不存在(%d)"},
    {5061, u"簽章失敗(%d)"},
    {5062, u"驗章失敗(%d)"},
    {5063, u"加密失敗(%d)"},
    {5064, u"解密失敗(%d)"},
    {5065, u"產生金鑰失敗(%d)"},
    {5066, u"刪除憑證失敗(%d)"},
    {5067, u"執行簽章時, 尚未選擇簽章憑證(%d)"},
    {5070, u"使用者按下\"取消\"按鈕(%d)"},
    {5071, u"密碼錯誤(%d)"},
    {5080, u"無法剖析XML文件(%d)"},
    {5081, u"無法在XML中,找到指定的標籤名稱(%d)"},
    {5200, u"列舉 CSP 發生錯誤(%d)"},
    {5201, u"開啟\"個人憑證區\"失敗(%d)"},
    {5202, u"憑證鏈不存在(%d)"},
    {5203, u"無法取得CSP資源(%d)"},
    {5204, u"找不到關聯的私密金鑰(%d)"},
    {5205, u"關聯的私密金鑰已被標記成\"不能匯出\"(%d)"},
    {5206, u"個人憑證區存取被拒(%d)"},
    {5207, u"PKCS12檔案格式錯誤(%d)"},
    {5208, u"PKCS12 密碼錯誤(%d)"},
    {5209, u"新密碼及確認密碼不一致(%d)"},
    {5210, u"PFX 或記憶體憑證區存取被拒(%d)"},
    {5221, u"開啟\"信任根憑證區\"失敗(%d)"},
    {5222, u"開啟\"信任中繼憑證區\"失敗(%d)"},
    {5223, u"開啟\"其他人憑證區\"失敗(%d)"},
    {5224, u"憑證鏈有誤, 無法信任(%d)"},
    {5226, u"開啟\"記憶體憑證區\"失敗(%d)"},
    {5301, u"金鑰長度錯誤(%d)"},
    {5302, u"金鑰產生失敗(%d)"},
    {5303, u"憑證交換檔產生失敗(%d)"},
    {5304, u"憑證請求檔產生失敗(%d)"},
    {5305, u"ASN1編碼失敗(%d)"},
    {5400, u"憑證交換檔讀不存在(%d)"},
    {5401, u"憑證交換檔讀取失敗(%d)"},
    {5402, u"憑證交換檔寫入失敗(%d)"},
    {5901, u"Unicode錯誤(%d)"},
    {5902, u"File Not Found(%d)"},
    {5903, u"Path Not Found(%d)"},
    {5904, u"Network path was not found(%d)"},
    {5905, u"Unknown logon user name or bad password(%d)"},
    {5906, u"Access Denied, no right(%d)"},
    {7701, u"一般錯誤(%d)"},
    {7704, u"所指定的演算法不正確(%d)"},
    {7705, u"執行簽驗章演算法時發生錯誤(%d)"},
    {7706, u"簽章值錯誤(%d)"},
    {7707, u"Reference的摘要值錯誤(%d)"},
    {7708, u"執行正規化演算法時發生錯誤(%d)"},
    {7709, u"執行Transform演算法時發生錯誤(%d)"},
    {7710, u"執行Resolver時發生錯誤(%d)"},
    {7711, u"找不到簽章值(%d)"},
    {7712, u"解析XML文件時發生錯誤(%d)"},
    {7713, u"所指向的文件不存在或為空值(%d)"},
    {7714, u"憑證內容與<X509Data>的記載不符合(%d)"},
    {7715, u"XML文件不存在或格式錯誤(%d)"},
    {7716, u"參數不正確(%d)"},
    {7717, u"不支援此C14N演算法(%d)"},
    {7718, u"不支援此簽章演算法(%d)"},
    {7719, u"不支援此摘要演算法(%d)"},
    {8706, u"P12 檔尚未載入(%d)"},
    {8707, u"P12 檔早已載入(%d)"},
};

constexpr const char16_t* kUndefinedFormat = u"錯誤碼未定義(%d) ";

constexpr bool sortedByCode() {
    for (size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    return true;
}
static_assert(sortedByCode());

std::u16string fill(const char16_t* format, long long value) {
    std::u16string text(format);
    auto at = text.find(u"%d");
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%lld", value);
    std::u16string number(digits, digits + n);
    if (at != std::u16string::npos) text.replace(at, 2, number);
    return text;
}

}  // namespace

const char16_t* errorMessageFormat(ErrorCode code) {
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                               [](const MessageRow& row, ErrorCode c) { return row.code < c; });
    if (it != std::end(kMessages) && it->code == code) return it->format;
    return nullptr;
}

size_t errorMessageCount() {
    return std::size(kMessages);
}

ErrorCode errorMessageCodeAt(size_t index) {
    return index < std::size(kMessages) ? kMessages[index].code : 0;
}

std::u16string errorMessageText(ErrorCode code) {
    const char16_t* format = errorMessageFormat(code);
    return fill(format ? format : kUndefinedFormat, code);
}

std::string errorMessage(ErrorCode code) {
    return toAnsi(errorMessageText(code));
}

std::string capiErrorMessage(uint32_t capiError) {
    if (capiError == 0) return errorMessage(0);
    std::string text;
    char* buffer = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, capiError, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (n > 0 && buffer) text.assign(buffer, n);
    LocalFree(buffer);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "(0x%08X)", capiError);
    return text + suffix;
}
