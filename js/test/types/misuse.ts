// Mistakes the typings must catch: each line below fails to compile, and tsc
// reports an unused @ts-expect-error when one of them compiles after all.

import { StatusCode } from '@vorn/scard-bridge-client/client';
import { SmartCardError, type SmartCardContext, type SmartCardConnection } from '@vorn/scard-bridge-client/facade';

export function misuse(context: SmartCardContext, connection: SmartCardConnection): void {
  // @ts-expect-error a misspelled status name
  console.log(StatusCode.SCARD_E_NO_SMARTCRD);
  // @ts-expect-error not a SmartCardResponseCode
  console.log(new SmartCardError('x', { responseCode: 'no-card' }));
  // @ts-expect-error not a SmartCardAccessMode
  void context.connect('reader', 'shareable');
  // @ts-expect-error not a SmartCardProtocol
  void context.connect('reader', 'shared', { preferredProtocols: ['t2'] });
  // @ts-expect-error hex text is not a BufferSource
  void connection.transmit('00A40400');
  // @ts-expect-error not a SmartCardDisposition
  void connection.disconnect('keep');
  // @ts-expect-error a reader state needs its current state
  void context.getStatusChange([{ readerName: 'reader' }]);
  // @ts-expect-error the flags are SmartCardReaderStateFlagsIn's members
  void context.getStatusChange([{ readerName: 'reader', currentState: { presnt: true } }]);
}
