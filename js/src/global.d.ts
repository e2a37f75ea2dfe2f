// The Web Smart Card API as globals, for the pages (and their workers) that get it
// from the relay or from installSmartCard(): navigator.smartCard and the four
// interfaces, so that code written for the draft compiles unchanged:
//
//   import type {} from "@vorn/scard-bridge-client/global";
//
// Code that also runs where the API is missing tests `'smartCard' in navigator`.

import type * as api from './smart-card.js';

declare global {
  interface Navigator {
    readonly smartCard: api.SmartCardResourceManager;
  }
  interface WorkerNavigator {
    readonly smartCard: api.SmartCardResourceManager;
  }

  type SmartCardResourceManager = api.SmartCardResourceManager;
  var SmartCardResourceManager: typeof api.SmartCardResourceManager;
  type SmartCardContext = api.SmartCardContext;
  var SmartCardContext: typeof api.SmartCardContext;
  type SmartCardConnection = api.SmartCardConnection;
  var SmartCardConnection: typeof api.SmartCardConnection;
  type SmartCardError = api.SmartCardError;
  var SmartCardError: typeof api.SmartCardError;

  type SmartCardResponseCode = api.SmartCardResponseCode;
  type SmartCardProtocol = api.SmartCardProtocol;
  type SmartCardAccessMode = api.SmartCardAccessMode;
  type SmartCardDisposition = api.SmartCardDisposition;
  type SmartCardConnectionState = api.SmartCardConnectionState;
  type SmartCardReaderStateIn = api.SmartCardReaderStateIn;
  type SmartCardReaderStateOut = api.SmartCardReaderStateOut;
  type SmartCardReaderStateFlagsIn = api.SmartCardReaderStateFlagsIn;
  type SmartCardReaderStateFlagsOut = api.SmartCardReaderStateFlagsOut;
  type SmartCardConnectResult = api.SmartCardConnectResult;
  type SmartCardConnectionStatus = api.SmartCardConnectionStatus;
  type SmartCardTransactionCallback = api.SmartCardTransactionCallback;
}

export {};
