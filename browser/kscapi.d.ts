// TypeScript declarations of the Kestrune page library (kscapi.js) and of the KSCapi
// objects the browser extension gives a page. Every operation returns a Promise; a
// failing operation resolves with "" or its error code (read GetErrorCode), while a
// refused origin, a missing host or a malformed call rejects with a KestruneError.
// docs/operations.md describes each operation, flag and code.

/** Why a request was refused (the `code` of a rejected Promise). */
type KestruneErrorCode =
  | 'extension_missing'
  | 'origin_refused'
  | 'origin_denied'
  | 'host_unavailable'
  | 'create_failed'
  | 'opaque_origin'
  | 'origin_mismatch'
  | 'too_large'
  | 'bad_message'
  | 'bad_arguments'
  | 'unknown_type'
  | 'unknown_op'
  | 'no_object'
  | 'truncated'
  | 'bad_json';

interface KestruneError extends Error {
  code: KestruneErrorCode;
}

/** One control object, made in the page's native host. */
interface KSCapiObject {
  /** Releases the object now instead of when the page goes away. */
  release(): Promise<void>;

  GetVersion(): Promise<string>;
  GetErrorCode(): Promise<number>;
  GetErrorMsg(): Promise<string>;
  GetCapiErrorCode(): Promise<number>;
  GetCapiErrorMsg(): Promise<string>;
  GetMacAddress(): Promise<string>;
  GetWindowsSystemName(): Promise<string>;
  RegReadHKCU(strName: string | null): Promise<string>;
  RegWriteHKCUInt(strName: string | null, dw: number): Promise<number>;
  RegWriteHKCUStr(strName: string | null, str: string | null): Promise<number>;
  Hash(strPlainText: string | null, dwFlags: number): Promise<string>;
  HashFile(strFileName: string | null, dwFlags: number): Promise<string>;
  SetProviderName(strProviderName: string | null): Promise<number>;
  CreatePKCS10(commonName: string | null, keyBits: number, genKeyFlags: number): Promise<string>;
  AcceptPKCS7(strPkcs7: string | null): Promise<number>;
  PresetPasswdLengthRange(min: number, max: number): Promise<number>;
  ImportPfxToIE(strPfxPath: string | null, strPfxName: string | null, strPasswd: string | null, dwFlags: number, dwKeyUsage: number): Promise<number>;
  SetDefaultPfxFileName(strPrefix: string | null): Promise<number>;
  ExportPfxFromIE(strSubject: string | null, strPfxPath: string | null, strPassword: string | null, dwFlags: number, dwKeyUsage: number): Promise<number>;
  ExportMobileFromPfx(strPfxPath: string | null, strPfxName: string | null, strPasswd: string | null, dwFlags: number, dwKeyUsage: number): Promise<string>;
  ExportMobileFromIE(strSubject: string | null, strPasswd: string | null, dwFlags: number, dwKeyUsage: number): Promise<string>;
  GetExportedPfxFilePath(): Promise<string>;
  GetExportedPfxFileName(): Promise<string>;
  ChangePfxPasswd(strPfxPath: string | null, strPfxName: string | null, strOldPass: string | null, strNewPass: string | null, dwFlags: number): Promise<number>;
  SelectSigner(certFilter: string | null, dwFlags: number, dwKeyUsage: number): Promise<number>;
  GetSignerPfxFilePath(): Promise<string>;
  GetSignerPfxFileName(): Promise<string>;
  SignPkcs1(strContent: string | null, dwFlags: number): Promise<string>;
  SignPkcs7(strContent: string | null, dwFlags: number): Promise<string>;
  GetCertB64(): Promise<string>;
  GetCertSubject(): Promise<string>;
  GetCertSubjectCN(): Promise<string>;
  GetCertIssuer(): Promise<string>;
  GetCertSerial(): Promise<string>;
  GetCertNotBefore(): Promise<string>;
  GetCertNotAfter(): Promise<string>;
  GetCertFinger(): Promise<string>;
}

interface KestruneLibrary {
  /** True when the extension gives this page the KSCapi class. */
  available(): boolean;
  /** A ready control object; rejects with a KestruneError. */
  create(): Promise<KSCapiObject>;
  /** The operation names, in the interface's order (empty without the extension). */
  readonly operations: readonly string[];

  readonly FILTER_MODE_AUTO: 0x0;
  readonly FILTER_MODE_LIST: 0x1;
  readonly FILTER_MODE_BEST: 0x2;
  readonly FILTER_CHECK_VALIDITY: 0x4;
  readonly FILTER_MATCH_ISSUER: 0x8;
  readonly FILTER_EARLIEST_START: 0x20;
  readonly FILTER_LATEST_END: 0x40;
  readonly FILTER_EARLIEST_END: 0x80;
  readonly KEY_USAGE_DIGITAL_SIGNATURE: 0x80;
  readonly KEY_USAGE_NON_REPUDIATION: 0x40;
  readonly KEY_USAGE_KEY_ENCIPHERMENT: 0x20;
  readonly KEY_USAGE_DATA_ENCIPHERMENT: 0x10;
  readonly KEY_USAGE_KEY_AGREEMENT: 0x08;
  readonly HASH_MD5: 0x1;
  readonly HASH_SHA1: 0x2;
  readonly HASH_SHA256: 0x3;
  readonly HASH_SHA512: 0x4;
  readonly HASH_ANSI: 0x10;
  readonly PKCS1_BASE64: 0x100;
  readonly PKCS1_ANSI: 0x800;
  readonly PKCS1_MD5: 0x1000;
  readonly PKCS1_SHA1_OF_MD5: 0x2000;
  readonly PKCS1_SHA256: 0x4000;
  readonly PKCS1_SHA512: 0x8000;
  readonly SIGN_NO_CERT: 0x100;
  readonly SIGN_CHAIN: 0x200;
  readonly SIGN_DETACHED: 0x400;
  readonly SIGN_ANSI: 0x800;
  readonly SIGN_MD5: 0x1000;
  readonly SIGN_TIME: 0x2000;
  readonly SIGN_SHA256: 0x4000;
  readonly SIGN_SHA512: 0x8000;
  readonly REQUEST_EXPORTABLE: 0x1;
  readonly REQUEST_USER_PROTECTED: 0x2;
  readonly REQUEST_SHA256: 0x100;
  readonly REQUEST_SHA512: 0x200;
  readonly PFX_IMPORT_EXPORTABLE: 0x1;
  readonly PFX_IMPORT_USER_PROTECTED: 0x2;
  readonly PFX_EXPORT_DELETE: 0x1000;
  readonly ERROR_SUCCESS: 0;
  readonly ERROR_FILE_READ: 1002;
  readonly ERROR_SIGNER_FILE: 1102;
  readonly ERROR_BAD_PARAMETER: 5005;
  readonly ERROR_CERT_NOT_FOUND: 5010;
  readonly ERROR_CERT_EXPIRED: 5011;
  readonly ERROR_CERT_NOT_YET_VALID: 5012;
  readonly ERROR_CERT_USAGE: 5017;
  readonly ERROR_SIGN_FAILED: 5061;
  readonly ERROR_NO_SIGNER: 5067;
  readonly ERROR_CANCELLED: 5070;
  readonly ERROR_NO_CHAIN: 5202;
  readonly ERROR_NO_PRIVATE_KEY: 5204;
  readonly ERROR_KEY_NOT_EXPORTABLE: 5205;
  readonly ERROR_PFX_FORMAT: 5207;
  readonly ERROR_PFX_PASSWORD: 5208;
  readonly ERROR_FILE_NOT_FOUND: 5902;
  readonly ERROR_ACCESS_DENIED: 5906;
}

declare const Kestrune: KestruneLibrary;

/** The class the extension defines; prefer Kestrune.create(). */
declare class KSCapi {
  static readonly operations: readonly string[];
  readonly ready: Promise<KSCapiObject>;
}

interface Window {
  Kestrune: KestruneLibrary;
}
