/* Declarations of the CBLAS entry point the program calls, with 32-bit
 * integers as OpenBLAS declares it. Used only to compile the program's
 * sources where no OpenBLAS for the target exists, so that they are
 * checked for that platform, and to prove that a CBLAS with 64-bit
 * integers is refused; nothing built with it is linked. */
#ifndef MATMUL_CBLAS_DECLARATIONS_H
#define MATMUL_CBLAS_DECLARATIONS_H

#define OPENBLAS_VERSION " declarations only "
#ifdef MATMUL_CBLAS_DECLARE_64BIT_INTEGERS
typedef long long blasint; /* as an OpenBLAS built with INTERFACE64 */
#else
typedef int blasint;
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum CBLAS_ORDER { CblasRowMajor = 101, CblasColMajor = 102 };
enum CBLAS_TRANSPOSE { CblasNoTrans = 111, CblasTrans = 112, CblasConjTrans = 113 };

void cblas_dgemm(const enum CBLAS_ORDER Order, const enum CBLAS_TRANSPOSE TransA,
                 const enum CBLAS_TRANSPOSE TransB, const blasint M, const blasint N,
                 const blasint K, const double alpha, const double* A, const blasint lda,
                 const double* B, const blasint ldb, const double beta, double* C,
                 const blasint ldc);
int openblas_get_num_threads(void);
char* openblas_get_config(void);
char* openblas_get_corename(void);

#ifdef __cplusplus
}
#endif

#endif
